// Windows: ending a session whose threads cannot be joined. The loader's lock, held by an unload,
// by a DLL's DllMain and at the end of the process, is needed by every thread that ends through
// ExitThread, so none of the library's threads could finish there. README-platform.md tells the
// design and each host pattern it serves.
#include "sessionend_windows.h"
#include "platform.h"

#include <windows.h>
// after windows.h, which they need
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <utility>

namespace quarn::tellan_api::platform {

namespace {

// Lock-free slots: they are read with the loader's lock held, where waiting for a lock that
// another thread holds could hang the host. A slot holds the thread's own handle: while it is
// open the thread's id cannot pass to another thread, and once the thread has ended (also when
// QThread::terminate() ended it without leaving) the handle says so.
struct ThreadSlot {
    std::atomic<HANDLE> thread{nullptr};
    std::atomic<DWORD> id{0};
    std::atomic<unsigned> order{0};  // when it entered, counted across the library's threads
};
constexpr int kThreadSlots = 8;
ThreadSlot libraryThreads[kThreadSlots];
std::atomic<unsigned> threadsEntered{0};
// How long the library's threads have to park, and Qt's watcher to be found in its wait.
constexpr DWORD kParkLimitMs = 500;
// Handles rather than ids: an id may be reused once the service, or its main thread, has ended.
std::atomic<HANDLE> startedProcess{nullptr};
std::atomic<HANDLE> startedMainThread{nullptr};
std::atomic<bool> threadsEnded{false};
std::atomic<void (*)()> threadsEndedHook{nullptr};

using TerminateThreadCall = LONG(NTAPI*)(HANDLE, LONG);
using QueryThreadCall = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using ShutdownQuery = BOOLEAN(NTAPI*)();
using QueryProcessCall = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
// Looked up before they are needed: a lookup may want the loader's lock.
template <typename Call>
Call ntdll(const char* name) {
    return reinterpret_cast<Call>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), name)));
}
const TerminateThreadCall terminateThread = ntdll<TerminateThreadCall>("NtTerminateThread");
const QueryThreadCall queryThread = ntdll<QueryThreadCall>("NtQueryInformationThread");
const ShutdownQuery processShuttingDown = ntdll<ShutdownQuery>("RtlDllShutdownInProgress");
const QueryProcessCall queryProcess = ntdll<QueryProcessCall>("NtQueryInformationProcess");
// Wine's loader keeps every thread that has not ended through ExitThread in the list of threads
// whose thread-local storage it grows when a DLL with its own is loaded, and the next load of
// this library then spins on freed memory. Windows knows threads by the kernel's own list.
const bool wineLoader = ntdll<void (*)()>("wine_get_version") != nullptr;

// Qt's event dispatcher gives each thread with an event loop a message-only window of a class it
// registers once per image, named after its window procedure's address: a later image at the same
// base builds the same name, and while the class is still registered Qt can make no window, and
// its thread is never woken. A parked thread destroys its windows; the unload then unregisters
// the class (Qt's own attempt comes later, among the static destructors).
constexpr wchar_t kQtWindowClassPrefix[] = L"QEventDispatcherWin32_Internal_Widget";
constexpr int kClassNameLength = 96;
wchar_t qtWindowClass[kClassNameLength];
std::atomic<bool> qtWindowClassSeen{false};

void destroyQtWindowsOfThisThread() {
    HWND found[8];
    int count = 0;
    for (HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr);
         window && count < 8; window = ::FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) {
        wchar_t name[kClassNameLength];
        if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId() &&
            ::GetClassNameW(window, name, kClassNameLength) > 0 &&
            std::wcsncmp(name, kQtWindowClassPrefix, std::size(kQtWindowClassPrefix) - 1) == 0) {
            if (!qtWindowClassSeen.exchange(true))
                std::wcscpy(qtWindowClass, name);
            found[count++] = window;
        }
    }
    while (count > 0)
        ::DestroyWindow(found[--count]);
}

bool hasEnded(HANDLE object) {
    return ::WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
}

// Runs as an APC, so only in an alertable wait of the thread (Qt's event loop and socket waits,
// idleSleep) and never inside another APC: the thread is between two pieces of work and holds no
// lock. It ends itself there. On Windows with the system call that ends a thread, not with
// ExitThread: ExitThread would wait for the loader's lock and then run every other DLL's
// thread-detach code after this image is gone, and an alertable wait there would run completion
// routines of Qt's pipe reads queued to this thread, which point into the unmapped image. The
// system call runs no code of any DLL and drops the queued APCs with the thread; the kernel frees
// its stack. Under Wine (see wineLoader) it takes ExitThread, which frees its stack too (a thread
// ended from outside keeps it there: a 32-bit host that unloads a few hundred times runs out of
// address space); its exit waits for the loader's lock until this image is gone, and Wine's
// thread-detach code waits for nothing alertably.
void CALLBACK parkThread(ULONG_PTR parked) {
    destroyQtWindowsOfThisThread();
    reinterpret_cast<std::atomic<bool>*>(parked)->store(true);
    if (!wineLoader && terminateThread)
        terminateThread(::GetCurrentThread(), 0);
    ::ExitThread(0);
}

// Whether `address` lies in this image.
bool inThisImage(ULONG_PTR address) {
    static const std::pair<ULONG_PTR, ULONG_PTR> image = [] {
        HMODULE own = nullptr;
        ::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&parkThread), &own);
        const auto* start = reinterpret_cast<const BYTE*>(own);
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            start + reinterpret_cast<const IMAGE_DOS_HEADER*>(start)->e_lfanew);
        return std::pair(reinterpret_cast<ULONG_PTR>(start),
                         static_cast<ULONG_PTR>(headers->OptionalHeader.SizeOfImage));
    }();
    return address - image.first < image.second;
}

// The instruction and stack pointers of a suspended thread.
bool readPointers(HANDLE thread, ULONG_PTR& instruction, ULONG_PTR& stack) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!::GetThreadContext(thread, &context))
        return false;
#ifdef _WIN64
    instruction = context.Rip;
    stack = context.Rsp;
#else
    instruction = context.Eip;
    stack = context.Esp;
#endif
    return true;
}

// Whether a parked thread that ends through ExitThread may still be on its last instructions in
// this image: the image must not go before it has left.
bool runsHere(HANDLE thread) {
    if (::SuspendThread(thread) == static_cast<DWORD>(-1))
        return false;  // it has gone
    ULONG_PTR at = 0, stack = 0;
    const bool read = readPointers(thread, at, stack);
    ::ResumeThread(thread);
    return !read || inThisImage(at);
}

// Ends Qt's watcher of the threads it adopted (a host thread that made a Qt object, such as one
// that called init, and the listener) when Qt is linked into this image: it waits for their end
// and would wake in unmapped code when such a thread ends after the unload. It is ended only
// where it waits: outside this image, and still in the same place a moment later (a watcher
// finishing a host thread that ended just before the unload moves, and may hold the heap's lock).
// The library's own threads (`spared`) are ended by parking; Qt started the watcher with
// CreateThread, so its start address is in this image.
void endQtWatcher(const DWORD* spared, int count) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (!queryThread || snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId() ||
            entry.th32ThreadID == ::GetCurrentThreadId() ||
            std::find(spared, spared + count, entry.th32ThreadID) != spared + count)
            continue;
        HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION | THREAD_SUSPEND_RESUME |
                                         THREAD_GET_CONTEXT | THREAD_TERMINATE | SYNCHRONIZE,
                                     FALSE, entry.th32ThreadID);
        ULONG_PTR start = 0;
        constexpr int kThreadQuerySetWin32StartAddress = 9;
        // Windows knows a thread's start address from its creation; Wine only once the thread
        // has begun on its side (it then waits for the loader lock that the unload holds, so it
        // cannot reach its start routine). A watcher created just before the unload is waited
        // for until it says where it starts.
        bool known = false;
        for (const ULONGLONG until = ::GetTickCount64() + kParkLimitMs; thread;) {
            known = queryThread(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start,
                                nullptr) == 0 &&
                    start != 0;
            if (known || ::GetTickCount64() >= until ||
                ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0)
                break;
            ::Sleep(1);
        }
        if (known && inThisImage(start)) {
            ULONG_PTR lastAt = 0, lastStack = 0;
            for (const ULONGLONG until = ::GetTickCount64() + kParkLimitMs;; ::Sleep(2)) {
                ULONG_PTR at = 0, stack = 0;
                if (::SuspendThread(thread) == static_cast<DWORD>(-1))
                    break;  // it has gone
                const bool waits = readPointers(thread, at, stack) && !inThisImage(at) &&
                                   at == lastAt && stack == lastStack;
                if (waits || ::GetTickCount64() >= until) {
                    ::TerminateThread(thread, 0);  // ended while suspended: it cannot move on
                    break;
                }
                ::ResumeThread(thread);
                lastAt = at;
                lastStack = stack;
            }
            ::WaitForSingleObject(thread, 1000);
        }
        if (thread)
            ::CloseHandle(thread);
    }
    ::CloseHandle(snapshot);
}

// Ends the library's threads. A thread ended in the middle of its work could leave a lock taken
// for good (the heap's, Qt's message log's), and the host, or the library loaded again, would hang
// on it. So each is asked to park, and ends itself there. They park one at a time, the last
// started first: the listener may be waiting for the API thread (a registry lock, a call from a
// host callback), never the reverse. A thread that has not parked within the limit (held up
// outside the library, in a host callback) is ended where it stands: the host would crash
// otherwise. At the end of the process the system has ended them already, where they stood.
// Returns whether any thread was ended.
bool endLibraryThreads(bool processEnding, bool endWatcher) {
    static std::atomic<bool> parked[kThreadSlots];
    HANDLE threads[kThreadSlots];
    DWORD ids[kThreadSlots];
    unsigned order[kThreadSlots];
    int count = 0;
    bool endedAny = false;
    for (ThreadSlot& slot : libraryThreads) {
        HANDLE thread = slot.thread.exchange(nullptr);
        if (!thread)
            continue;
        endedAny = endedAny || processEnding;
        if (processEnding || hasEnded(thread) || slot.id.load() == ::GetCurrentThreadId()) {
            ::CloseHandle(thread);
            continue;
        }
        int at = count++;
        for (; at > 0 && order[at - 1] < slot.order.load(); --at) {
            threads[at] = threads[at - 1];
            ids[at] = ids[at - 1];
            order[at] = order[at - 1];
        }
        threads[at] = thread;
        ids[at] = slot.id.load();
        order[at] = slot.order.load();
    }
    // First, while every thread it watches still runs: a parked thread ends at once, and the
    // watcher would wake to it.
    if (endWatcher)
        endQtWatcher(ids, count);
    const ULONGLONG deadline = ::GetTickCount64() + kParkLimitMs;
    for (int i = 0; i < count; ++i) {
        parked[i].store(false);
        ::QueueUserAPC(&parkThread, threads[i], reinterpret_cast<ULONG_PTR>(&parked[i]));
        while (!parked[i].load() && !hasEnded(threads[i]) && ::GetTickCount64() < deadline)
            ::Sleep(1);
    }
    for (int i = 0; i < count; ++i) {
        if (!parked[i].load()) {
            ::TerminateThread(threads[i], 0);
            ::WaitForSingleObject(threads[i], 1000);
        } else if (wineLoader) {
            for (int tries = 0; tries < 1000 && runsHere(threads[i]); ++tries)
                ::Sleep(1);
        } else {
            ::WaitForSingleObject(threads[i], 1000);
        }
        ::CloseHandle(threads[i]);
    }
    return endedAny || count > 0;
}

// Ends the service this library started. Asked first, as QProcess::terminate() asks: a service
// ended while it holds the semaphore of its announcement record would leave it taken (Windows
// semaphores have no undo), and the next service would wait on it for good. The request goes only
// to a service that still runs, and by the id of a thread whose handle is held: that id cannot
// have passed to another program's thread.
void endStartedService() {
    HANDLE process = startedProcess.exchange(nullptr);
    HANDLE mainThread = startedMainThread.exchange(nullptr);
    if (process && !hasEnded(process)) {
        if (mainThread)
            ::PostThreadMessageW(::GetThreadId(mainThread), WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(process, 500) != WAIT_OBJECT_0) {
            ::TerminateProcess(process, 1);
            ::WaitForSingleObject(process, 1000);
        }
    }
    if (mainThread)
        ::CloseHandle(mainThread);
    if (process)
        ::CloseHandle(process);
}

// Ends what the session runs: its threads (and, at an unload, Qt's watcher), then its service,
// so that the listener does not wake up to the service's end; at an unload or the end of the
// process, then tells the rest of the library.
void endSession(bool processEnding, bool unloading) {
    if (endLibraryThreads(processEnding, unloading && !processEnding))
        threadsEnded.store(true);
    endStartedService();
    if (!unloading)
        return;  // exit, which goes on with the rest itself
    if (void (*hook)() = threadsEndedHook.load())
        hook();
    if (!processEnding && qtWindowClassSeen.load())
        ::UnregisterClassW(qtWindowClass, ::GetModuleHandleW(nullptr));
}

// The loader's lock, as the process environment block holds it.
bool holdsLoaderLock() {
#ifdef _WIN64
    constexpr size_t kLoaderLockOffset = 0x110;
#else
    constexpr size_t kLoaderLockOffset = 0xa0;
#endif
    PROCESS_BASIC_INFORMATION process{};
    if (!queryProcess || queryProcess(::GetCurrentProcess(), ProcessBasicInformation, &process,
                                      sizeof process, nullptr) != 0)
        return false;
    const auto* peb = reinterpret_cast<const BYTE*>(process.PebBaseAddress);
    const auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
    return lock && reinterpret_cast<ULONG_PTR>(lock->OwningThread) == ::GetCurrentThreadId();
}

}  // namespace

void enterLibraryThread() {
    HANDLE self = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                           &self, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    for (ThreadSlot& slot : libraryThreads) {
        // Free: empty, or left by a thread that ended without leaving.
        HANDLE held = slot.thread.load();
        if (held && !hasEnded(held))
            continue;
        if (slot.thread.compare_exchange_strong(held, self)) {
            slot.id.store(::GetCurrentThreadId());
            slot.order.store(++threadsEntered);
            if (held)
                ::CloseHandle(held);
            return;
        }
    }
    ::CloseHandle(self);
}

void leaveLibraryThread() {
    const DWORD self = ::GetCurrentThreadId();
    for (ThreadSlot& slot : libraryThreads) {
        if (slot.id.load() != self)
            continue;
        HANDLE held = slot.thread.exchange(nullptr);
        if (held)
            ::CloseHandle(held);
        slot.id.store(0);
        return;
    }
}

void idleSleep(int ms) {
    // Alertable, so that an unload's request to park is served; such calls end the sleep early.
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (ULONGLONG now = ::GetTickCount64(); now < deadline; now = ::GetTickCount64())
        ::SleepEx(static_cast<DWORD>(deadline - now), TRUE);
}

// An event the thread waits on alertably, so that a request to park is served in the wait.
struct IdleWake::Native {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);  // resets as a wait returns
};

IdleWake::IdleWake() : native(new Native) {}

IdleWake::~IdleWake() {
    if (native->event)
        ::CloseHandle(native->event);
    delete native;
}

void IdleWake::notify() {
    ::SetEvent(native->event);
}

void IdleWake::wait(int ms) {
    if (native->event)
        ::WaitForSingleObjectEx(native->event, ms < 0 ? INFINITE : static_cast<DWORD>(ms), TRUE);
    else
        idleSleep(ms < 0 || ms > 50 ? 50 : ms);  // no event to wait on: look again soon
}

void setStartedProcess(long long processId) {
    HANDLE process = nullptr;
    HANDLE mainThread = nullptr;
    if (processId != 0) {
        const DWORD pid = static_cast<DWORD>(processId);
        process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        // Its first thread is its main thread, whose message queue takes the request to end.
        HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        if (snapshot != INVALID_HANDLE_VALUE) {
            for (BOOL more = ::Thread32First(snapshot, &entry); more && !mainThread;
                 more = ::Thread32Next(snapshot, &entry))
                if (entry.th32OwnerProcessID == pid)
                    mainThread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                              entry.th32ThreadID);
            ::CloseHandle(snapshot);
        }
        // The id was read before the handle was opened: it must still be the service's thread.
        if (mainThread && ::GetProcessIdOfThread(mainThread) != pid) {
            ::CloseHandle(mainThread);
            mainThread = nullptr;
        }
    }
    if (HANDLE previous = startedMainThread.exchange(mainThread))
        ::CloseHandle(previous);
    if (HANDLE previous = startedProcess.exchange(process))
        ::CloseHandle(previous);
}

bool unloadEndedThreads() {
    return threadsEnded.load();
}

void forgetEndedThreads() {
    threadsEnded.store(false);
}

void setThreadsEndedHook(void (*hook)()) {
    threadsEndedHook.store(hook);
}

bool threadsCannotBeJoined() {
    return holdsLoaderLock();
}

void endSessionHere() {
    endSession(processShuttingDown && processShuttingDown(), false);
}

void endSessionAtUnload() {
    endSession(false, true);
}

void endSessionAtProcessEnd() {
    endSession(true, true);
}

}  // namespace quarn::tellan_api::platform
