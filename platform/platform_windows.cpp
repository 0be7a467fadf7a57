// Windows side of the platform layer: kernel module queries; sections vanish with their last
// handle, so there are never orphaned segments to clean up.
#include "platform.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace quarn::tellan_api::platform {

namespace {

// The library's wording for an OS failure: GetLastError() in lower-case hex, no leading zeros.
std::string osErrorText(const char* what, DWORD error) {
    char line[160];
    std::snprintf(line, sizeof line, "ERROR: %s: GetLastError() = 0x%lx", what,
                  static_cast<unsigned long>(error));
    return line;
}

std::string toUtf8(const wchar_t* text, int length) {
    if (length <= 0)
        return std::string();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], bytes, nullptr, nullptr);
    return out;
}

}  // namespace

std::string executablePath() {
    char buffer[1024];
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    // A full buffer means the path was cut: report it rather than use half a path.
    if (n == 0 || n >= sizeof buffer)
        throw std::runtime_error("Cannot get executable path");
    return std::string(buffer, n);
}

std::string libraryDirectory(std::string& error) {
    HMODULE module = nullptr;
    // Look the module up by an address inside it, without raising its reference count.
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!::GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&libraryDirectory), &module)) {
        error = osErrorText("Cannot get library handle", ::GetLastError());
        return std::string();
    }
    wchar_t path[1025] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, 1024);
    if (length == 0) {
        error = osErrorText("Cannot get library path", ::GetLastError());
        return std::string();
    }
    // Keep the trailing backslash; a name without one keeps its first character.
    DWORD end = length;
    while (end > 1 && path[end - 1] != L'\\')
        --end;
    return toUtf8(path, static_cast<int>(end));
}

const char* globalNamePrefix() {
    return "Global\\";
}

bool isOrphanedSegment(const std::string&) {
    return false;
}

void removeOrphanedSegment(const std::string&) {}

namespace {

// Lock-free slots: DllMain reads them with the loader lock held, where waiting for a lock that
// another thread holds could hang the unload. A slot holds the thread's own handle: while it is
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
// How long an unload waits for the library's threads to park.
constexpr DWORD kParkLimitMs = 500;
// Handles rather than ids: an id may be reused once the service, or its main thread, has ended.
std::atomic<HANDLE> startedProcess{nullptr};
std::atomic<HANDLE> startedMainThread{nullptr};
std::atomic<bool> threadsEnded{false};

bool hasEnded(HANDLE object) {
    return ::WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
}

// Runs as an APC, so only in an alertable wait of the thread (Qt's event loop and socket waits,
// idleSleep) and never inside another APC: the thread is between two pieces of work and holds no
// lock. It ends itself, which frees its stack (a thread ended from outside keeps it on Wine: a
// 32-bit host that unloads a few hundred times runs out of address space). Its exit waits for the
// loader lock, which the unload holds until this image is gone, so it never comes back here.
void CALLBACK parkThread(ULONG_PTR parked) {
    reinterpret_cast<std::atomic<bool>*>(parked)->store(true);
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

// Whether a parked thread may still be on its last instructions in this image, on its way into
// ExitThread: the image must not go before it has left.
bool runsHere(HANDLE thread) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (::SuspendThread(thread) == static_cast<DWORD>(-1))
        return false;  // it has gone
    const bool read = ::GetThreadContext(thread, &context);
    ::ResumeThread(thread);
#ifdef _WIN64
    const ULONG_PTR at = context.Rip;
#else
    const ULONG_PTR at = context.Eip;
#endif
    return !read || inThisImage(at);
}

// Ends the threads that Qt, when it is linked into this image, started for itself: the watcher
// of the threads it adopted (a host thread that made a Qt object, such as one that called init,
// and the listener) waits for their end, and would wake in unmapped code when such a host thread
// ends after the unload. It wakes only at a thread's end, and a thread's end waits for the loader
// lock, which the unload holds: so it is found in its wait, holding nothing. It goes before the
// library's own threads (`spared`), whose ending from outside would wake it.
void endQtThreadsOfThisImage(const DWORD* spared, int count) {
    using QueryThread = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryThread>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (!query || snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId() ||
            entry.th32ThreadID == ::GetCurrentThreadId() ||
            std::find(spared, spared + count, entry.th32ThreadID) != spared + count)
            continue;
        HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION | THREAD_TERMINATE | SYNCHRONIZE,
                                     FALSE, entry.th32ThreadID);
        ULONG_PTR start = 0;
        constexpr int kThreadQuerySetWin32StartAddress = 9;
        if (thread &&
            query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0 &&
            inThisImage(start)) {
            ::TerminateThread(thread, 0);
            ::WaitForSingleObject(thread, 1000);
        }
        if (thread)
            ::CloseHandle(thread);
    }
    ::CloseHandle(snapshot);
}

// Ends the library's threads at DLL_PROCESS_DETACH. They cannot finish under the loader lock (a
// thread's exit needs it), so a join would wait in vain, and code left running in an unmapped DLL
// would crash the host. So each is asked to park, which ends it once the image is gone: a thread
// ended in the middle of its work could leave a lock taken for good (the heap's, Qt's message
// log's) and the host, or the library loaded again, would hang on it. They park one at a time, the
// last started first: the listener may be waiting for the API thread (a registry lock, a call from
// a host callback), never the reverse. A thread that has not parked within the limit (held up
// outside the library, in a host callback) is ended where it stands: the host would crash
// otherwise. Returns whether any thread was ended.
bool endLibraryThreads(bool processEnding) {
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
        // At process end the system has ended every other thread already, where it stood.
        const bool ended = processEnding || hasEnded(thread);
        endedAny = endedAny || processEnding;
        if (ended || slot.id.load() == ::GetCurrentThreadId()) {
            ::CloseHandle(thread);
            continue;
        }
        int at = count++;
        for (; at > 0 && order[at - 1] < slot.order.load(); --at) {
            threads[at] = threads[at - 1];
            order[at] = order[at - 1];
        }
        threads[at] = thread;
        order[at] = slot.order.load();
        ids[count - 1] = slot.id.load();
    }
    const ULONGLONG deadline = ::GetTickCount64() + kParkLimitMs;
    for (int i = 0; i < count; ++i) {
        parked[i].store(false);
        ::QueueUserAPC(&parkThread, threads[i], reinterpret_cast<ULONG_PTR>(&parked[i]));
        while (!parked[i].load() && !hasEnded(threads[i]) && ::GetTickCount64() < deadline)
            ::Sleep(1);
    }
    if (!processEnding)
        endQtThreadsOfThisImage(ids, count);
    for (int i = 0; i < count; ++i) {
        if (parked[i].load()) {
            for (int tries = 0; tries < 1000 && runsHere(threads[i]); ++tries)
                ::Sleep(1);
        } else {
            ::TerminateThread(threads[i], 0);
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

// Ends the session at DLL_PROCESS_DETACH, when the host unloads the library with a session open
// (FreeLibrary) or the process ends without crop_assist_exit. The service goes last, so that the
// listener does not wake up to its end. The threads' objects are leaked (see unloadEndedThreads).
void endSessionAtUnload(bool processEnding) {
    if (endLibraryThreads(processEnding))
        threadsEnded.store(true);
    endStartedService();
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

void keepModuleLoaded(const void* address) {
    const DWORD lookUp =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    HMODULE own = nullptr;
    HMODULE module = nullptr;
    ::GetModuleHandleExA(lookUp, reinterpret_cast<LPCSTR>(&keepModuleLoaded), &own);
    // Qt linked into this library goes with it; pinning it would pin the library itself.
    if (!::GetModuleHandleExA(lookUp, static_cast<LPCSTR>(address), &module) || module == own)
        return;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         static_cast<LPCSTR>(address), &module);
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

bool processIsEnding(int64_t pid) {
    // An ending process has its exit code set (no longer STILL_ACTIVE); its handle is signalled
    // once it has ended.
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                   static_cast<DWORD>(pid));
    if (!process)
        return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process any more
    DWORD exitCode = STILL_ACTIVE;
    const bool ending = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                        (::GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE);
    ::CloseHandle(process);
    return ending;
}

}  // namespace quarn::tellan_api::platform

// Runs before the C runtime's atexit handlers and static destructors of this DLL, which hold the
// rest of the library's release.
// `reserved` is non-null when the process is ending rather than the library being unloaded.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH)
        quarn::tellan_api::platform::endSessionAtUnload(reserved != nullptr);
    return TRUE;
}
