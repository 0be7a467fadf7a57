/**
 * @file crop_assist_export.h
 * @brief Export and calling-convention macros of the crop-assist library.
 *
 * Included by crop_assist.h; hosts do not include it themselves.
 *
 * @def CROP_ASSIST_API
 * Marks the exported functions. The build of the library itself defines CROP_ASSIST_BUILDING
 * (privately); hosts never define it, so on Windows they import (__declspec(dllimport)) and the
 * library exports (__declspec(dllexport)). Elsewhere it gives the function default visibility.
 *
 * @def CROP_ASSIST_CALL
 * The caller-cleans C calling convention (__cdecl) on Windows, where a 32-bit host would
 * otherwise be free to pick another default; empty elsewhere. A host's callbacks must be
 * declared with it, as in `static void CROP_ASSIST_CALL arrived(const char* device)`.
 */
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
