/* A Windows C host that knows the library only by its file: it loads crop_assist.dll with
 * LoadLibrary, finds every export by its undecorated name, calls through __cdecl pointers and
 * unloads it before any session and after exit; then the ways of leaving with a session open.
 *   loadlibrary_host.exe crop_assist.dll NAME...   (NAME: each function the header declares)
 *   loadlibrary_host.exe --die|--unloads|--threads crop_assist.dll   (run by the first)
 * Exit status 0 when every step held; otherwise the failing step is printed. */
#include "host_support.h"

#include <stdlib.h>

static volatile LONG notices, inCallback, mailboxState;
static volatile DWORD mailboxId; /* the thread id that the mailbox waits in */

static void loadAndStart(const char* path, const char* start) {
    library = load(path);
    check(call(start) == CROP_ASSIST_OK, start);
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
    static char service[] = "OmnivueService.exe --standalone";
    const int floods = 200;
    for (int round = 0; round < floods + 20; ++round) {
        watch(20000, "a round of init, a flood and FreeLibrary");
        if (round == floods + 10)
            check(run(service, 0) == STILL_ACTIVE && control("clients"), "a service to attach");
        loadAndStart(path, round < floods + 10 ? "crop_assist_init" : "crop_assist_attach");
        if (round < floods)
            setEventCallback(), check(control(flood()), "a flood of notices is sent");
        unload(library);
        watch(2000, "an allocation after the unload");
        free(memset(malloc(1 << 20), 1, 1 << 20));
        printf("round %d, %ld notices so far\n", round, notices);
    }
    watch(60000, "the unloads after an exit that ended the API thread and after a crash");
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
    check(unload(library) < 300, "the unload after it does not wait for the ended thread");
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
            holder = candidate, keepThread(id);
        else
            ResumeThread(candidate), WaitForSingleObject(candidate, 1000), CloseHandle(candidate);
    }
    printf("the service's old thread id %s\n", holder ? "is a thread of ours" : "was not reused");
    for (ResumeThread(holder); holder && mailboxState != 1;)
        Sleep(10);
    unload(library);
    mailboxState = 2;
    WaitForSingleObject(holder, 5000);
    check(mailboxState != 3, "the unload's WM_CLOSE reached no thread but the service's");
}
/* A session begun on a second host thread after a first one's exit: Qt, linked into the library,
 * adopts that thread and watches for its end from a thread of its own, which must not outlive the
 * image. The host thread ends after the unload. */
static void otherThread(const char* path) {
    library = load(path);
    HANDLE first = CreateThread(NULL, 0, hostThread, NULL, 0, NULL);
    WaitForSingleObject(first, 20000), CloseHandle(first);
    DWORD id = 0;
    HANDLE second = CreateThread(NULL, 0, hostThread, library, 0, &id);
    keepThread(id);
    while (hostThreadState != 1)
        Sleep(10);
    unload(library);
    hostThreadState = 2;
    WaitForSingleObject(second, 5000), CloseHandle(second);
    Sleep(200); /* a watcher left behind would wake now, in unmapped code */
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
    if (argc == 3 && strcmp(argv[1], "--unloads") == 0) {
        CloseHandle(CreateThread(NULL, 0, watchdog, NULL, 0, NULL));
        unloads(argv[2]);
        printf("slowest FreeLibrary %llu ms\n", slowestUnload);
        check(slowestUnload < 500, "no FreeLibrary waited out the time for the threads to park");
        return failures == 0 ? kPhaseHeld : 1;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: loadlibrary_host crop_assist.dll NAME...\n");
        return 2;
    }
    const char* path = argv[1];

    /* Every declared name, undecorated; then an unload before any session. */
    library = load(path);
    int found = 0;
    for (int i = 2; i < argc; ++i)
        found += entry(argv[i]) != NULL;
    check(found == argc - 2 && found == 26, "all 26 names found by GetProcAddress");
    unload(library);

    /* A session through __cdecl pointers, exit, then an unload after exit. */
    loadAndStart(path, "crop_assist_init");
    int(CROP_ASSIST_CALL * isEnabled)(const char*, bool*) = entry("crop_assist_is_enabled");
    check(isEnabled && isEnabled(NULL, &(bool){true}) == 98, "a null device gives 98");
    const ULONGLONG before = GetTickCount64();
    check(call("crop_assist_exit") == 0 && GetTickCount64() - before < 1000 &&
              call("crop_assist_is_initialized") == 0 && servicesAfter(1000, NULL) == 0,
          "exit ends the session and its service within a second (on WM_CLOSE, not a kill)");
    unload(library);

    /* Leaving with a session open, in processes of their own: a crash or a hang fails a step. */
    static const char* const phases[] = {"--die", "--unloads", "--threads"};
    for (int i = 0; i < 3; ++i) {
        const DWORD status = runPhase(phases[i], path, "", 900000);
        check(status == (i ? kPhaseHeld : 0xC0000409), i ? phases[i] + 2 : "a host that dies");
    }
    printf("loadlibrary_host: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
