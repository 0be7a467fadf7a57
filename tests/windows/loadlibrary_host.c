/* A Windows C host that knows the library only by its file: it loads crop_assist.dll with
 * LoadLibrary, finds every export by its undecorated name, calls through __cdecl pointers and
 * unloads it before any session and after exit; then the ways of leaving with a session open.
 *   loadlibrary_host.exe crop_assist.dll NAME...   (NAME: each function the header declares)
 *   loadlibrary_host.exe --die|--unloads|--threads|--reload crop_assist.dll   (run by the first)
 * Exit status 0 when every step held; otherwise the failing step is printed. */
#include <crop_assist.h>

#include <windows.h>
/* after windows.h, which it needs */
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;
static HMODULE library;
static ULONGLONG slowest; /* the slowest FreeLibrary so far, ms */
static volatile ULONGLONG watchedUntil;
static volatile LONG notices, inCallback, mailboxState;
static volatile DWORD mailboxId; /* the thread id that the mailbox waits in */
enum { kPhaseHeld = 0x600D };    /* a phase's status when every step held; a crash may give 0 */
static const char kControl[] = "\\\\.\\pipe\\OmnivueUnloadHostControl";

static void check(int ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += !ok;
}
static void* entry(const char* name) {
    void* address = library ? (void*)GetProcAddress(library, name) : NULL;
    return address ? address : (check(0, name), NULL);
}
/* Calls an export of the current library that takes nothing (bool results as int). */
static int call(const char* name) {
    int(CROP_ASSIST_CALL * function)(void) = entry(name);
    return function ? function() : -1;
}
/* Service processes alive (the last one's id in `pid`), waiting up to `ms` for none. */
static int servicesAfter(DWORD ms, DWORD* pid) {
    for (const ULONGLONG deadline = GetTickCount64() + ms;; Sleep(50)) {
        int count = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 process = {.dwSize = sizeof process};
        for (BOOL more = Process32First(snapshot, &process); more;
             more = Process32Next(snapshot, &process))
            if (_stricmp(process.szExeFile, "OmnivueService.exe") == 0 && ++count && pid)
                *pid = process.th32ProcessID;
        CloseHandle(snapshot);
        if (count == 0 || GetTickCount64() >= deadline)
            return count;
    }
}
static void loadAndStart(const char* path, const char* start) {
    library = LoadLibraryA(path);
    check(call(start) == CROP_ASSIST_OK, start);
}
static SIZE_T imageSize(const BYTE* base) {
    return ((IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew))
        ->OptionalHeader.SizeOfImage;
}
/* Threads of this process that began in [base, base + size): an unload that leaves one leaves
 * code running, or waiting to run, in unmapped memory. */
static int threadsBegunIn(const BYTE* base, SIZE_T size) {
    LONG(NTAPI * query)
    (HANDLE, int, PVOID, ULONG, PULONG) =
        (void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread");
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread = {.dwSize = sizeof thread};
    for (BOOL more = Thread32First(snapshot, &thread); more;
         more = Thread32Next(snapshot, &thread)) {
        HANDLE handle = thread.th32OwnerProcessID == GetCurrentProcessId()
                            ? OpenThread(THREAD_QUERY_INFORMATION, FALSE, thread.th32ThreadID)
                            : NULL;
        ULONG_PTR start = 0; /* 9: ThreadQuerySetWin32StartAddress */
        count += handle && query(handle, 9, &start, sizeof start, NULL) == 0 &&
                 start - (ULONG_PTR)base < size;
        if (handle)
            CloseHandle(handle);
    }
    CloseHandle(snapshot);
    return count;
}
/* FreeLibrary of the current library; how long it took in ms. No thread of it may remain. */
static ULONGLONG unload(void) {
    BYTE* base = (BYTE*)library;
    const SIZE_T size = imageSize(base);
    const ULONGLONG before = GetTickCount64();
    check(FreeLibrary(library) != 0, "FreeLibrary");
    const ULONGLONG took = GetTickCount64() - before;
    /* Its threads end as the unload ends: they wait for the loader's lock, held until then. */
    int left = threadsBegunIn(base, size);
    for (int i = 0; i < 100 && left; ++i, Sleep(10))
        left = threadsBegunIn(base, size);
    if (left)
        printf("%d threads begun in the unloaded image remain\n", left);
    check(left == 0, "no thread of the unloaded image remains");
    printf("FreeLibrary took %llu ms\n", took);
    return slowest = took > slowest ? took : slowest, took;
}
/* Runs `command`; its status, 0xDEAD when it overran `ms`, STILL_ACTIVE when not waited for. */
static DWORD run(char* command, DWORD ms) {
    STARTUPINFOA startup = {.cb = sizeof startup};
    PROCESS_INFORMATION child;
    DWORD status = 0xDEAD;
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
        if (ms && WaitForSingleObject(child.hProcess, ms) != WAIT_OBJECT_0)
            TerminateProcess(child.hProcess, 0xDEAD), WaitForSingleObject(child.hProcess, ms);
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    return status;
}
/* One command on the stand-in's control channel (OMNIVUE_CONTROL); true when it answers "ok". */
static int control(const char* command) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100 && pipe == INVALID_HANDLE_VALUE; ++i, Sleep(50))
        pipe = CreateFileA(kControl, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    char answer[3] = "";
    DWORD n = 0;
    const int ok = WriteFile(pipe, command, (DWORD)strlen(command), &n, NULL) &&
                   WriteFile(pipe, "\n", 1, &n, NULL) && ReadFile(pipe, answer, 2, &n, NULL) &&
                   strcmp(answer, "ok") == 0;
    CloseHandle(pipe);
    return ok;
}
/* Ends the process with status 3 once a step armed with watch(ms) overruns; watch(0) disarms. */
static DWORD WINAPI watchdog(LPVOID unused) {
    while (!watchedUntil || GetTickCount64() < watchedUntil)
        Sleep(50);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "FAILED: hung\n", 13, (DWORD*)&unused, NULL);
    return TerminateProcess(GetCurrentProcess(), 3);
}
static void watch(DWORD ms) {
    watchedUntil = ms ? GetTickCount64() + ms : 0;
}
/* Counts notices; the one with text "x" calls in while exit waits for the listener, so that exit
 * has to end the API thread. */
static void CROP_ASSIST_CALL onEvent(int code, const char* text) {
    InterlockedIncrement(&notices);
    if (code == 2 && strcmp(text, "x") == 0 && InterlockedExchange(&inCallback, 1) == 0) {
        Sleep(500); /* exit has begun meanwhile and holds the library's lock */
        call("crop_assist_is_initialized");
        inCallback = 2;
    }
}
static void setEventCallback(void) {
    int(CROP_ASSIST_CALL * set)(DeviceEventCallback) =
        entry("crop_assist_set_device_event_callback");
    check(set && set(onEvent) == CROP_ASSIST_OK, "the event callback is set");
}
/* A thread with a message queue: state 1 queue made, 2 asked to look, 3 got WM_CLOSE, 4 not. */
static DWORD WINAPI mailbox(LPVOID unused) {
    if (GetCurrentThreadId() != mailboxId)
        return 0; /* a candidate of another id: it ends as threads do */
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);
    for (mailboxState = 1; mailboxState != 2;)
        Sleep(10);
    mailboxState = PeekMessageA(&message, NULL, WM_CLOSE, WM_CLOSE, PM_REMOVE) ? 3 : 4;
    return unused != NULL;
}
/* A host thread of its own: init and exit, or (`stay`) init and wait until told to end. */
static volatile LONG hostThreadState;
static DWORD WINAPI hostThread(LPVOID stay) {
    check(call("crop_assist_init") == CROP_ASSIST_OK, "init on a host thread of its own");
    if (!stay)
        return call("crop_assist_exit");
    for (hostThreadState = 1; hostThreadState != 2;)
        Sleep(10);
    return 0;
}
/* The ways of unloading with a session open, in one process: rounds of init, a flood of
 * notices and FreeLibrary, then FreeLibrary at once after init and after attach, ten rounds each;
 * every unload followed by an allocation and a log line on a watchdog; then after an exit that
 * had to end the API thread, and after a crash of the service. */
static void unloads(const char* path) {
    static char flood[6 + 4 * 4000 + 1] = "rawcb ", service[] = "OmnivueService.exe --standalone";
    for (int i = 0; i < 4000; ++i)
        memcpy(flood + 6 + 4 * i, "2e\\n", 4);
    const int floods = 200;
    for (int round = 0; round < floods + 20; ++round) {
        watch(20000);
        if (round == floods + 10)
            check(run(service, 0) == STILL_ACTIVE && control("clients"), "a service to attach");
        loadAndStart(path, round < floods + 10 ? "crop_assist_init" : "crop_assist_attach");
        if (round < floods)
            setEventCallback(), check(control(flood), "a flood of notices is sent");
        unload();
        watch(2000);
        free(memset(malloc(1 << 20), 1, 1 << 20));
        printf("round %d, %ld notices so far\n", round, notices);
    }
    watch(60000);
    check(control("quit") && servicesAfter(5000, NULL) == 0, "it ends on request");
    loadAndStart(path, "crop_assist_init");
    setEventCallback();
    check(control("event 2 x"), "an event is sent");
    while (inCallback == 0)
        Sleep(10);
    call("crop_assist_exit");
    while (inCallback != 2)
        Sleep(10);
    Sleep(200); /* the listener leaves */
    check(unload() < 300, "the unload after it does not wait for the ended thread");
    /* The service crashed; by the unload its main thread's id may belong to a thread of ours. */
    loadAndStart(path, "crop_assist_init");
    DWORD pid = 0, mainThread = 0, id = 0;
    servicesAfter(0, &pid);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0), holder = NULL;
    THREADENTRY32 thread = {.dwSize = sizeof thread};
    for (BOOL more = Thread32First(snapshot, &thread); more && !mainThread;
         more = Thread32Next(snapshot, &thread))
        mainThread = thread.th32OwnerProcessID == pid ? thread.th32ThreadID : 0;
    CloseHandle(snapshot);
    check(control("crash") && servicesAfter(5000, NULL) == 0, "the service crashes");
    Sleep(500); /* the library takes the crash in */
    /* A free thread id is reused: take threads until one has the service's old id (for 30 s at
     * most). The others end by returning: one ended from outside keeps its stack on 32-bit Wine. */
    mailboxId = mainThread;
    for (const ULONGLONG until = GetTickCount64() + 30000; !holder && GetTickCount64() < until;) {
        HANDLE candidate = CreateThread(NULL, 0, mailbox, NULL, CREATE_SUSPENDED, &id);
        if (id == mainThread)
            holder = candidate;
        else
            ResumeThread(candidate), WaitForSingleObject(candidate, 1000), CloseHandle(candidate);
    }
    printf("the service's old thread id %s\n", holder ? "is a thread of ours" : "was not reused");
    for (ResumeThread(holder); holder && mailboxState != 1;)
        Sleep(10);
    unload();
    mailboxState = 2;
    WaitForSingleObject(holder, 5000);
    check(mailboxState != 3, "the unload's WM_CLOSE reached no thread but the service's");
}
/* A session begun on a second host thread after a first one's exit: Qt, linked into the library,
 * adopts that thread and watches for its end from a thread of its own, which must not outlive the
 * image. The host thread ends after the unload. */
static void otherThread(const char* path) {
    library = LoadLibraryA(path);
    HANDLE first = CreateThread(NULL, 0, hostThread, NULL, 0, NULL);
    WaitForSingleObject(first, 20000), CloseHandle(first);
    HANDLE second = CreateThread(NULL, 0, hostThread, library, 0, NULL);
    while (hostThreadState != 1)
        Sleep(10);
    unload();
    hostThreadState = 2;
    WaitForSingleObject(second, 5000), CloseHandle(second);
    Sleep(200); /* a watcher left behind would wake now, in unmapped code */
}
/* After an unload with a session open, another image (a copy, as two plugins may ship it) runs
 * where the unloaded one was not. A process of its own: on 32-bit Wine each thread ended by an
 * unload keeps about 3 MiB of address space, and after the rounds above no range is left for a
 * DLL at a new base. */
static void reload(const char* path) {
    loadAndStart(path, "crop_assist_init");
    BYTE* base = (BYTE*)library; /* its size is read while it is still there */
    const SIZE_T size = imageSize(base);
    unload();
    check(VirtualAlloc(base, size, MEM_RESERVE, PAGE_NOACCESS) &&
              CopyFileA(path, "crop_assist_copy.dll", FALSE),
          "the old range reserved, a copy under another name");
    loadAndStart("crop_assist_copy.dll", "crop_assist_init");
    check(call("crop_assist_is_initialized") == 1 && call("crop_assist_exit") == 0, "it runs");
    unload();
    DeleteFileA("crop_assist_copy.dll");
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0); /* in order with the children's lines */
    SetEnvironmentVariableA("OMNIVUE_CONTROL", kControl + 9);
    if (argc == 3 && strcmp(argv[1], "--die") == 0) { /* as a fatal error ends a process */
        loadAndStart(argv[2], "crop_assist_init");
        TerminateProcess(GetCurrentProcess(), 0xC0000409);
    }
    if (argc == 3 && strcmp(argv[1], "--threads") == 0) {
        otherThread(argv[2]);
        return failures == 0 ? kPhaseHeld : 1;
    }
    if (argc == 3 && strcmp(argv[1], "--reload") == 0) {
        reload(argv[2]);
        return failures == 0 ? kPhaseHeld : 1;
    }
    if (argc == 3 && strcmp(argv[1], "--unloads") == 0) {
        CloseHandle(CreateThread(NULL, 0, watchdog, NULL, 0, NULL));
        unloads(argv[2]);
        printf("slowest FreeLibrary %llu ms\n", slowest);
        check(slowest < 500, "no FreeLibrary waited out the time for the threads to park");
        return failures == 0 ? kPhaseHeld : 1;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: loadlibrary_host crop_assist.dll NAME...\n");
        return 2;
    }
    const char* path = argv[1];

    /* Every declared name, undecorated; then an unload before any session. */
    library = LoadLibraryA(path);
    int found = 0;
    for (int i = 2; i < argc; ++i)
        found += entry(argv[i]) != NULL;
    check(found == argc - 2 && found == 26, "all 26 names found by GetProcAddress");
    unload();

    /* A session through __cdecl pointers, exit, then an unload after exit. */
    loadAndStart(path, "crop_assist_init");
    int(CROP_ASSIST_CALL * isEnabled)(const char*, bool*) = entry("crop_assist_is_enabled");
    check(isEnabled && isEnabled(NULL, &(bool){true}) == 98, "a null device gives 98");
    const ULONGLONG before = GetTickCount64();
    check(call("crop_assist_exit") == 0 && GetTickCount64() - before < 1000 &&
              call("crop_assist_is_initialized") == 0 && servicesAfter(1000, NULL) == 0,
          "exit ends the session and its service within a second (on WM_CLOSE, not a kill)");
    unload();

    /* Leaving with a session open, in processes of their own: a crash or a hang fails a step. */
    static const char* const phases[] = {"--die", "--unloads", "--threads", "--reload"};
    for (int i = 0; i < 4; ++i) {
        char command[3 * MAX_PATH], self[MAX_PATH];
        GetModuleFileNameA(NULL, self, sizeof self);
        snprintf(command, sizeof command, "\"%s\" %s \"%s\"", self, phases[i], path);
        const DWORD status = run(command, 900000);
        printf("%s ended with 0x%lx\n", command, (unsigned long)status);
        check(status == (i ? kPhaseHeld : 0xC0000409), i ? phases[i] + 2 : "a host that dies");
        check(servicesAfter(1000, NULL) == 0, "no service process remains");
    }
    printf("loadlibrary_host: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
