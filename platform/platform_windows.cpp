// Windows side of the platform layer: kernel module queries; sections vanish with their last
// handle, so there are never orphaned segments to clean up.
#include "platform.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

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
// another thread holds could hang the unload.
struct ThreadSlot {
    std::atomic<DWORD> id{0};
    std::atomic<bool> waiting{false};
};
constexpr int kThreadSlots = 8;
ThreadSlot libraryThreads[kThreadSlots];
// A handle rather than an id: an id may be reused once the service has ended.
std::atomic<HANDLE> startedProcess{nullptr};
std::atomic<DWORD> startedMainThread{0};
std::atomic<bool> threadsEnded{false};

ThreadSlot* ownSlot() {
    for (ThreadSlot& slot : libraryThreads)
        if (slot.id.load() == ::GetCurrentThreadId())
            return &slot;
    return nullptr;
}

// Whether a library thread other than the caller is not in a wait.
bool anyWorking() {
    for (ThreadSlot& slot : libraryThreads) {
        const DWORD id = slot.id.load();
        if (id != 0 && id != ::GetCurrentThreadId() && !slot.waiting.load())
            return true;
    }
    return false;
}

// Holds each thread still; the context read returns only once the suspension has taken hold.
void suspendAll(HANDLE* threads, int count) {
    for (int i = 0; i < count; ++i) {
        ::SuspendThread(threads[i]);
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        ::GetThreadContext(threads[i], &context);
    }
}

// Ends the session at DLL_PROCESS_DETACH, when the host unloads the library with a session open
// (FreeLibrary) or the process ends without crop_assist_exit. The threads cannot finish under the
// loader lock (a thread's exit needs it), so a join or the API thread's stop would wait in vain,
// and code left running in an unmapped DLL would crash the host. So they are ended here, but only
// while each is held still in a wait that holds no lock: one ended in the middle of its work could
// leave a lock taken for good (the heap's, Qt's message log's), and the host, or the library loaded
// again, would hang on it. They get half a second to reach such a wait. The service goes last, so
// that the listener does not wake up to its end. The threads' objects are leaked (see
// unloadEndedThreads).
void endSessionAtUnload() {
    HANDLE threads[kThreadSlots];
    int count = 0;
    for (ThreadSlot& slot : libraryThreads) {
        const DWORD id = slot.id.load();
        if (id == 0 || id == ::GetCurrentThreadId())
            continue;
        const DWORD access =
            THREAD_TERMINATE | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE;
        if (HANDLE thread = ::OpenThread(access, FALSE, id))
            threads[count++] = thread;
    }
    for (int waited = 0;; waited += 10) {
        suspendAll(threads, count);
        if (!anyWorking() || waited >= 500)
            break;
        for (int i = 0; i < count; ++i)
            ::ResumeThread(threads[i]);
        ::Sleep(10);
    }
    for (int i = 0; i < count; ++i) {
        ::TerminateThread(threads[i], 0);
        ::WaitForSingleObject(threads[i], 1000);
        ::CloseHandle(threads[i]);
    }
    for (ThreadSlot& slot : libraryThreads)
        slot.id.store(0);
    if (count > 0)
        threadsEnded.store(true);
    if (HANDLE process = startedProcess.exchange(nullptr)) {
        // Asked first, as QProcess::terminate() asks: a service ended while it holds the
        // semaphore of its announcement record would leave it taken (Windows semaphores have no
        // undo), and the next service would wait on it for good.
        ::PostThreadMessageW(startedMainThread.load(), WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(process, 500) != WAIT_OBJECT_0) {
            ::TerminateProcess(process, 1);
            ::WaitForSingleObject(process, 1000);
        }
        ::CloseHandle(process);
    }
}

}  // namespace

void enterLibraryThread() {
    const DWORD self = ::GetCurrentThreadId();
    for (ThreadSlot& slot : libraryThreads) {
        DWORD empty = 0;
        if (slot.id.compare_exchange_strong(empty, self)) {
            slot.waiting.store(false);
            return;
        }
    }
}

void setLibraryThreadWaiting(bool waiting) {
    if (ThreadSlot* slot = ownSlot())
        slot->waiting.store(waiting);
}

void leaveLibraryThread() {
    if (ThreadSlot* slot = ownSlot()) {
        slot->waiting.store(false);  // the slot's next thread starts out working
        slot->id.store(0);
    }
}

void keepModuleLoaded(const void* address) {
    const DWORD lookUp =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    HMODULE module = nullptr, own = nullptr;
    ::GetModuleHandleExA(lookUp, static_cast<LPCSTR>(address), &module);
    ::GetModuleHandleExA(lookUp, reinterpret_cast<LPCSTR>(&keepModuleLoaded), &own);
    // A Qt linked into this library goes with it: pinning it would keep the library itself
    // loaded, and an unload would then never end the session.
    if (module && module != own)
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             static_cast<LPCSTR>(address), &module);
}

void setStartedProcess(long long processId) {
    HANDLE process = nullptr;
    if (processId != 0)
        process =
            ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
    // Its first thread is its main thread, whose message queue takes the request to end.
    DWORD mainThread = 0;
    HANDLE snapshot = processId ? ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0) : nullptr;
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    if (snapshot && snapshot != INVALID_HANDLE_VALUE && ::Thread32First(snapshot, &thread)) {
        do {
            if (thread.th32OwnerProcessID == static_cast<DWORD>(processId))
                mainThread = thread.th32ThreadID;
        } while (mainThread == 0 && ::Thread32Next(snapshot, &thread));
    }
    if (snapshot && snapshot != INVALID_HANDLE_VALUE)
        ::CloseHandle(snapshot);
    startedMainThread.store(mainThread);
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
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH)
        quarn::tellan_api::platform::endSessionAtUnload();
    return TRUE;
}
