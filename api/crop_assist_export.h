/* Export and calling-convention macros of the crop-assist library.
 *
 * CROP_ASSIST_API marks the exported functions. The build of the library itself defines
 * CROP_ASSIST_BUILDING (privately); hosts never define it, so on Windows they import.
 * CROP_ASSIST_CALL spells the caller-cleans C calling convention on Windows, where a 32-bit
 * host would otherwise be free to pick another default. */
#ifndef CROP_ASSIST_EXPORT_H
#define CROP_ASSIST_EXPORT_H

#if defined(_WIN32)
#if defined(CROP_ASSIST_BUILDING)
#define CROP_ASSIST_API __declspec(dllexport)
#else
#define CROP_ASSIST_API __declspec(dllimport)
#endif
#define CROP_ASSIST_CALL __cdecl
#else
#if defined(__GNUC__)
#define CROP_ASSIST_API __attribute__((visibility("default")))
#else
#define CROP_ASSIST_API
#endif
#define CROP_ASSIST_CALL
#endif

#endif /* CROP_ASSIST_EXPORT_H */
