// Windows side of the platform layer: kernel module queries; sections vanish with their last
// handle, so there are never orphaned segments to clean up.
#include "platform.h"

#include <windows.h>

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
constexpr int kThreadSlots = 8;
std::atomic<DWORD> libraryThreads[kThreadSlots];
// A handle rather than an id: an id may be reused once the service has ended.
std::atomic<HANDLE> startedProcess{nullptr};
std::atomic<bool> threadsEnded{false};

// Ends the started service and the library's threads at once. Called at DLL_PROCESS_DETACH, when
// the host unloads the library with a session open (FreeLibrary) or the process ends without
// crop_assist_exit: the threads cannot finish under the loader lock (a thread's exit needs it), so
// a join or the API thread's stop would wait in vain, and code left running in an unmapped DLL
// would crash the host. Their objects are leaked, not destroyed (see unloadEndedThreads).
void endSessionAtUnload() {
    const DWORD self = ::GetCurrentThreadId();
    for (std::atomic<DWORD>& slot : libraryThreads) {
        const DWORD id = slot.exchange(0);
        if (id == 0 || id == self)
            continue;
        if (HANDLE thread = ::OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            ::TerminateThread(thread, 0);
            ::WaitForSingleObject(thread, 1000);
            ::CloseHandle(thread);
        }
        threadsEnded.store(true);
    }
    // The threads first: the listener would otherwise see the service go and start to finish.
    if (HANDLE process = startedProcess.exchange(nullptr)) {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 1000);
        ::CloseHandle(process);
    }
}

}  // namespace

void enterLibraryThread() {
    const DWORD self = ::GetCurrentThreadId();
    for (std::atomic<DWORD>& slot : libraryThreads) {
        DWORD empty = 0;
        if (slot.compare_exchange_strong(empty, self))
            return;
    }
}

void leaveLibraryThread() {
    DWORD self = ::GetCurrentThreadId();
    for (std::atomic<DWORD>& slot : libraryThreads) {
        if (slot.compare_exchange_strong(self, 0))
            return;
        self = ::GetCurrentThreadId();
    }
}

void setStartedProcess(long long processId) {
    HANDLE process = nullptr;
    if (processId != 0)
        process =
            ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
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
