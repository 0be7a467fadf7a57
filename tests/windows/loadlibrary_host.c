/* A Windows C host that knows the library only by its file: it loads crop_assist.dll with
 * LoadLibrary, finds every export by its undecorated name, calls through __cdecl pointers, and
 * unloads it with FreeLibrary before any session, after exit, and with a session still open, and
 * loads it again after that. A host that dies with a session open must not leave its service
 * running.
 *
 *   loadlibrary_host.exe crop_assist.dll NAME...   (NAME: each function the header declares)
 *   loadlibrary_host.exe --die crop_assist.dll     (starts a session and ends itself abruptly)
 *
 * Exit status 0 when every step held; otherwise the failing step is printed. */
#include <crop_assist.h>

#include <windows.h>
/* after windows.h, which it needs */
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

typedef int(CROP_ASSIST_CALL* StartFn)(void);
typedef bool(CROP_ASSIST_CALL* IsInitializedFn)(void);
typedef int(CROP_ASSIST_CALL* GetDevicesFn)(const TellanDeviceInfo** devices, int* count);
typedef int(CROP_ASSIST_CALL* IsEnabledFn)(const char* device, bool* enabled);

static int failures = 0;

static void check(int ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

static FARPROC entry(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    if (!address)
        printf("FAILED: no export named %s\n", name);
    return address;
}

/* Service processes alive now, waiting up to `ms` for them to be gone. */
static int servicesAfter(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        int count = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 process;
        process.dwSize = sizeof process;
        for (BOOL more = Process32First(snapshot, &process); more;
             more = Process32Next(snapshot, &process))
            count += _stricmp(process.szExeFile, "OmnivueService.exe") == 0;
        CloseHandle(snapshot);
        if (count == 0 || GetTickCount64() >= deadline)
            return count;
        Sleep(50);
    }
}

/* Loads the library and starts a session through the pointers. */
static HMODULE loadAndInit(const char* path) {
    HMODULE library = LoadLibraryA(path);
    StartFn init = library ? (StartFn)(void*)entry(library, "crop_assist_init") : NULL;
    const int rc = init ? init() : -1;
    if (rc != CROP_ASSIST_OK)
        printf("crop_assist_init gave %d\n", rc);
    check(rc == CROP_ASSIST_OK, "LoadLibrary, then crop_assist_init gives 0");
    return library;
}

/* Runs this program again as a host that dies with a session open; its service must follow. */
static void hostDies(const char* path) {
    char self[MAX_PATH], command[3 * MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(command, sizeof command, "\"%s\" --die \"%s\"", self, path);
    STARTUPINFOA startup;
    PROCESS_INFORMATION child;
    GetStartupInfoA(&startup);
    DWORD status = 0;
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
        WaitForSingleObject(child.hProcess, 30000);
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    check(status == 0xC0000409, "a host dies abruptly with a session open");
    check(servicesAfter(1000) == 0, "its service ends within a second");
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--die") == 0) {
        loadAndInit(argv[2]);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 0xC0000409); /* as a fatal error ends a process */
        return 1;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: loadlibrary_host crop_assist.dll NAME...\n");
        return 2;
    }
    const char* path = argv[1];

    /* Every declared name, undecorated; then an unload before any session. */
    HMODULE library = LoadLibraryA(path);
    check(library != NULL, "LoadLibrary");
    if (!library)
        return 1;
    int found = 0;
    for (int i = 2; i < argc; ++i)
        found += entry(library, argv[i]) != NULL;
    printf("found %d of %d exports\n", found, argc - 2);
    check(found == argc - 2 && found == 26, "all 26 names found by GetProcAddress");
    check(FreeLibrary(library) != 0, "FreeLibrary with no session open");

    /* A session through __cdecl pointers, exit, then an unload after exit. */
    library = loadAndInit(path);
    if (!library)
        return 1;
    IsInitializedFn isInitialized =
        (IsInitializedFn)(void*)entry(library, "crop_assist_is_initialized");
    GetDevicesFn getDevices = (GetDevicesFn)(void*)entry(library, "crop_assist_get_devices");
    IsEnabledFn isEnabled = (IsEnabledFn)(void*)entry(library, "crop_assist_is_enabled");
    StartFn stop = (StartFn)(void*)entry(library, "crop_assist_exit");
    if (!isInitialized || !getDevices || !isEnabled || !stop)
        return 1;
    check(isInitialized(), "crop_assist_is_initialized is true");
    const TellanDeviceInfo* devices = NULL;
    int count = 0;
    bool enabled = true;
    check(getDevices(&devices, &count) == CROP_ASSIST_OK, "crop_assist_get_devices answers");
    check(isEnabled(NULL, &enabled) == CROP_ASSIST_INVALID_ARGUMENT, "a null device gives 98");
    check(servicesAfter(0) == 1, "one service runs while the session is open");
    ULONGLONG before = GetTickCount64();
    check(stop() == CROP_ASSIST_OK && !isInitialized(), "crop_assist_exit ends the session");
    printf("crop_assist_exit took %llu ms\n", GetTickCount64() - before);
    /* The service ends on the stop request at once; ignoring it costs the 3 s wait and a kill. */
    check(GetTickCount64() - before < 1000, "that exit returns within a second");
    check(servicesAfter(1000) == 0, "exit ends the service it started");

    check(FreeLibrary(library) != 0, "FreeLibrary after exit");
    hostDies(path);

    /* An unload with the session still open must neither hang nor leave the service running. */
    library = loadAndInit(path);
    if (!library)
        return 1;
    before = GetTickCount64();
    check(FreeLibrary(library) != 0, "FreeLibrary with a session open");
    const ULONGLONG took = GetTickCount64() - before;
    printf("FreeLibrary with a session open took %llu ms\n", took);
    check(took < 1000, "that FreeLibrary returns within a second");
    check(servicesAfter(1000) == 0, "no service process remains after it");

    /* Loaded again after such an unload, the library starts afresh. */
    library = loadAndInit(path);
    stop = library ? (StartFn)(void*)entry(library, "crop_assist_exit") : NULL;
    check(stop && stop() == CROP_ASSIST_OK && FreeLibrary(library), "then exit and FreeLibrary");

    printf("loadlibrary_host: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
