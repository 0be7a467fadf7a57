/* A host of the MSVC ABI, as an MSVC host team builds one against the SDK archive: compiled for
 * i686-pc-windows-msvc as cl /Gz would (__stdcall by default, so only CROP_ASSIST_CALL makes the
 * library's calls __cdecl), linked by lld-link against crop_assist.lib and import libraries of
 * kernel32 and version, with no C runtime. It reads the DLL's version resource, runs a session
 * with the stand-in service beside the DLL, and sees a stand-in that cannot create its
 * announcement record end with its own code.
 *   msvc_host.exe   (in a folder with crop_assist.dll and OmnivueService.exe)
 * Prints "ok <step>" or "FAILED <step>"; exit status 0 when every step held. */
#include <crop_assist.h>
#include <stddef.h>

_Static_assert(sizeof(bool) == 1, "bool is one byte");
_Static_assert(sizeof(TellanMode) == 4, "TellanMode is 32 bits");
_Static_assert(sizeof(TellanROI) == 16 && offsetof(TellanROI, height) == 12, "TellanROI");
_Static_assert(sizeof(TellanFrame) == 16 && offsetof(TellanFrame, pixfmt) == 12, "TellanFrame");
_Static_assert(sizeof(TellanDeviceInfo) == 12 && offsetof(TellanDeviceInfo, id) == 8, "record");

/* The Windows functions used, declared as the SDK's headers declare them. */
typedef void* HANDLE;
typedef unsigned long DWORD;
#define IMPORT __declspec(dllimport)
IMPORT HANDLE __stdcall GetStdHandle(DWORD);
IMPORT int __stdcall WriteFile(HANDLE, const void*, DWORD, DWORD*, void*);
IMPORT void __stdcall Sleep(DWORD);
IMPORT DWORD __stdcall GetTickCount(void);
IMPORT __declspec(noreturn) void __stdcall ExitProcess(unsigned);
IMPORT HANDLE __stdcall GetModuleHandleA(const char*);
IMPORT DWORD __stdcall GetModuleFileNameA(HANDLE, char*, DWORD);
IMPORT HANDLE __stdcall CreateMutexA(void*, int, const char*);
IMPORT int __stdcall CloseHandle(HANDLE);
IMPORT DWORD __stdcall GetFileVersionInfoSizeA(const char*, DWORD*);
IMPORT int __stdcall GetFileVersionInfoA(const char*, DWORD, DWORD, void*);
IMPORT int __stdcall VerQueryValueA(const void*, const char*, void**, unsigned*);

int _fltused; /* what the MSVC ABI asks of a program that uses floating point */
static int failures;

static void say(const char* text) {
    DWORD length = 0, written;
    while (text[length])
        ++length;
    WriteFile(GetStdHandle((DWORD)-11), text, length, &written, NULL);
}
static const char* number(int value) {
    static char text[12];
    char* end = text + sizeof text - 1;
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    do
        *--end = (char)('0' + magnitude % 10);
    while (magnitude /= 10);
    if (value < 0)
        *--end = '-';
    return end;
}
static int check(int held, const char* step, int value) {
    say(held ? "ok " : "FAILED ");
    say(step);
    say(" (");
    say(number(value));
    say(")\n");
    failures += !held;
    return held;
}
static int same(const char* a, const char* b) {
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

/* The version resource of the DLL this process loaded, as a host reads it at run time. */
static void version(void) {
    static char path[512], data[8192];
    DWORD size = GetModuleFileNameA(GetModuleHandleA("crop_assist.dll"), path, sizeof path);
    DWORD ignored, *fixed = NULL;
    char* text = NULL;
    unsigned length = 0;
    size = size ? GetFileVersionInfoSizeA(path, &ignored) : 0;
    if (!check(size > 0 && size <= sizeof data && GetFileVersionInfoA(path, 0, size, data),
               "the DLL has a version resource", (int)size))
        return;
    const DWORD high = CROP_ASSIST_VERSION_MAJOR << 16 | CROP_ASSIST_VERSION_MINOR;
    const DWORD low = CROP_ASSIST_VERSION_PATCH << 16;
    const int found = VerQueryValueA(data, "\\", (void**)&fixed, &length) && length >= 24;
    check(found && fixed[0] == 0xFEEF04BD && fixed[2] == high && fixed[3] == low &&
              fixed[4] == high && fixed[5] == low,
          "its file and product versions are the header's", found ? (int)fixed[2] : -1);
    check(VerQueryValueA(data, "\\StringFileInfo\\040904B0\\ProductVersion", (void**)&text,
                         &length) &&
              same(text, CROP_ASSIST_VERSION_STRING),
          "its version text is CROP_ASSIST_VERSION_STRING", (int)length);
}

/* The stand-in's announcement record, a section named by Qt from the record's name
 * (Global\qipc_sharedmemory_ + the key's letters + the key's SHA-1): a mutex of that name makes
 * its creation fail, as a missing privilege does for a user who is not elevated. */
static void blockedRecord(void) {
    HANDLE mutex = CreateMutexA(NULL, 0,
                                "Global\\qipc_sharedmemory_ZuzoRerazuSingleAppInstanceShmem"
                                "3a31f179a0e00fc6f5dce50dcd9bbfec6d2abf8e");
    int rc = crop_assist_init();
    check(mutex && rc == 3, "init gives 3 when the stand-in cannot create its record", rc);
    crop_assist_exit();
    CloseHandle(mutex);
}

static unsigned char pixels[320 * 240 * 2];

static void session(void) {
    int rc = crop_assist_init(), count = 0;
    if (!check(rc == CROP_ASSIST_OK, "init", rc))
        return;
    const TellanDeviceInfo* devices = NULL;
    for (DWORD start = GetTickCount(); count < 2 && GetTickCount() - start < 5000; Sleep(50))
        rc = crop_assist_get_devices(&devices, &count);
    if (check(rc == CROP_ASSIST_OK && count == 2 && same(devices[1].sn, "CAM2"),
              "get_devices lists the stand-in's CAM1 and CAM2 within 5 s", count)) {
        TellanMode mode = TELLAN_MODE_OFF;
        rc = crop_assist_get_mode(devices[1].sn, &mode);
        check(rc == CROP_ASSIST_OK && mode == TELLAN_MODE_GROUP, "get_mode of CAM2 is 2", mode);

        /* YUYV, dark with a bright 40 x 40 square at (100, 60), handed over by value. */
        for (int i = 0; i < 320 * 240 * 2; i += 2) {
            const int x = i / 2 % 320, y = i / 2 / 320;
            pixels[i] = x >= 100 && x < 140 && y >= 60 && y < 100 ? 235 : 16;
            pixels[i + 1] = 128;
        }
        const TellanFrame frame = {pixels, 320, 240, TELLAN_PIXFMT_YUYV};
        const TellanROI* rois = NULL;
        rc = crop_assist_get_frame_rois("CAM1", frame, &rois, &count);
        check(rc == CROP_ASSIST_OK && count == 1 && rois[0].x == 100 && rois[0].y == 60 &&
                  rois[0].width == 40 && rois[0].height == 40,
              "get_frame_rois finds the square", rc == CROP_ASSIST_OK ? count : rc);
    }
    check(crop_assist_exit() == CROP_ASSIST_OK && !crop_assist_is_initialized(), "exit", 0);
}

void __cdecl mainCRTStartup(void) {
    version();
    blockedRecord();
    session();
    say(failures ? "msvc_host: FAILED\n" : "msvc_host: ok\n");
    ExitProcess(failures != 0);
}
