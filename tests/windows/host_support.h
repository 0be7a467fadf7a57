/* What the Windows C hosts share: step checks, a watchdog, the library loaded by its file,
 * processes of their own for the phases, the stand-in's control channel, and the check that an
 * unload leaves no thread of the library behind. One translation unit per host includes it. */
#ifndef HOST_SUPPORT_H
#define HOST_SUPPORT_H

#include <crop_assist.h>

#include <windows.h>
/* after windows.h, which it needs */
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

enum { kPhaseHeld = 0x600D }; /* a phase's status when every step held; a crash may give 0 */
static const char kControl[] = "\\\\.\\pipe\\OmnivueUnloadHostControl";
static int failures = 0, quiet = 0; /* quiet: only failed steps are printed */
static HMODULE library;
static ULONGLONG slowestUnload; /* ms */
static volatile ULONGLONG watchedUntil;
static const char* volatile watched;

static inline int check(int ok, const char* what) {
    if (!ok || !quiet)
        printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += !ok;
    return ok;
}
static inline void* entry(const char* name) {
    void* address = library ? (void*)GetProcAddress(library, name) : NULL;
    return address ? address : (check(0, name), NULL);
}
/* Calls an export of the current library that takes nothing (bool results as int). */
static inline int call(const char* name) {
    int(CROP_ASSIST_CALL * function)(void) = entry(name);
    return function ? function() : -1;
}

/* Ends the process with status 3 once a step armed with watch(ms, what) overruns; watch(0, NULL)
 * disarms. A hang is a failed step, never a time-out of whoever runs the host. */
static DWORD WINAPI watchdog(LPVOID unused) {
    while (!watchedUntil || GetTickCount64() < watchedUntil)
        Sleep(50);
    /* Not through stdio: the hung thread may hold its lock. */
    const char* what = watched ? watched : "a step";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteFile(out, "FAILED: hung in ", 16, (DWORD*)&unused, NULL);
    WriteFile(out, what, (DWORD)strlen(what), (DWORD*)&unused, NULL);
    WriteFile(out, "\n", 1, (DWORD*)&unused, NULL);
    return TerminateProcess(GetCurrentProcess(), 3);
}
static inline void watch(DWORD ms, const char* what) {
    watched = what;
    watchedUntil = ms ? GetTickCount64() + ms : 0;
}

/* Runs `command`; its status, 0xDEAD when it overran `ms`, STILL_ACTIVE when not waited for. */
static inline DWORD run(char* command, DWORD ms) {
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
static inline int control(const char* command) {
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
/* The control command that sends the listener 4000 device events at once. */
static inline const char* flood(void) {
    static char command[6 + 4 * 4000 + 1] = "rawcb ";
    for (int i = 0; i < 4000; ++i)
        memcpy(command + 6 + 4 * i, "2e\\n", 4);
    return command;
}
/* Service processes alive (the last one's id in `pid`), waiting up to `ms` for none. */
static inline int servicesAfter(DWORD ms, DWORD* pid) {
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
/* Checks that no service remains after a phase; one that does is ended, so that the next phase
 * starts as the first did. */
static inline void noServiceLeft(void) {
    DWORD pid = 0;
    if (check(servicesAfter(1000, NULL) == 0, "no service process remains"))
        return;
    control("quit");
    for (int i = 0; i < 5 && servicesAfter(2000, &pid); ++i) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        TerminateProcess(process, 1), CloseHandle(process);
    }
}

/* Runs phase `name` of this program on the library at `path` in a process of its own; its
 * status. No service may remain after it. */
static inline DWORD runPhase(const char* name, const char* path, const char* arg, DWORD ms) {
    char command[3 * MAX_PATH], self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(command, sizeof command, "\"%s\" %s \"%s\"%s%s", self, name, path, *arg ? " " : "",
             arg);
    const ULONGLONG began = GetTickCount64();
    const DWORD status = run(command, ms);
    printf("%s ended with 0x%lx after %llu ms\n", command, (unsigned long)status,
           GetTickCount64() - began);
    noServiceLeft();
    return status;
}

/* Threads of this process before the last load(), and host threads begun since that are the
 * host's own (keepThread): a thread not among them after an unload, other than the system's,
 * was begun by the library or for it, wherever it started (its std::threads start in the C
 * runtime, not in the library). */
static DWORD hostThreads[512];
static int hostThreadCount;
static inline int threadIds(DWORD* ids, int max) {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread = {.dwSize = sizeof thread};
    for (BOOL more = Thread32First(snapshot, &thread); more && count < max;
         more = Thread32Next(snapshot, &thread))
        if (thread.th32OwnerProcessID == GetCurrentProcessId())
            ids[count++] = thread.th32ThreadID;
    CloseHandle(snapshot);
    return count;
}
/* Whether thread `id` began in ntdll: one of the system's thread pool, which outlives the work
 * any one library gave it (Wine keeps its wait and worker threads after the first session). */
static inline int systemThread(DWORD id) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll"), module = NULL;
    LONG(NTAPI * query)
    (HANDLE, int, PVOID, ULONG, PULONG) = (void*)GetProcAddress(ntdll, "NtQueryInformationThread");
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
    ULONG_PTR start = 0; /* 9: ThreadQuerySetWin32StartAddress */
    const int system = thread && query(thread, 9, &start, sizeof start, NULL) == 0 &&
                       GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                          (LPCSTR)start, &module) &&
                       module == ntdll;
    if (thread)
        CloseHandle(thread);
    return system;
}
static inline HMODULE load(const char* path) {
    hostThreadCount = threadIds(hostThreads, 500);
    return LoadLibraryA(path);
}
static inline void keepThread(DWORD id) {
    hostThreads[hostThreadCount++] = id;
}
static inline int threadsAdded(void) {
    DWORD now[512];
    int added = 0;
    for (int i = threadIds(now, 512); i-- > 0;) {
        int known = 0;
        for (int j = 0; j < hostThreadCount && !known; ++j)
            known = now[i] == hostThreads[j];
        added += !known && !systemThread(now[i]);
    }
    return added;
}
/* FreeLibrary of `module`; how long it took in ms. No thread of it may remain once it is gone:
 * they end as the unload ends (they wait for the loader's lock); a second is left for that. */
static inline ULONGLONG unload(HMODULE module) {
    const ULONGLONG before = GetTickCount64();
    check(FreeLibrary(module) != 0, "FreeLibrary");
    const ULONGLONG took = GetTickCount64() - before;
    int left = threadsAdded();
    for (int i = 0; i < 100 && left; ++i, Sleep(10))
        left = threadsAdded();
    if (left)
        printf("%d threads begun since the load remain\n", left);
    check(left == 0, "no thread of the unloaded library remains");
    if (!quiet)
        printf("FreeLibrary took %llu ms\n", took);
    return slowestUnload = took > slowestUnload ? took : slowestUnload, took;
}

#endif /* HOST_SUPPORT_H */
