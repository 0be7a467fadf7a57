// Windows side of the platform layer: kernel module queries; sections vanish with their last
// handle, so there are never orphaned segments to clean up.
#include "platform.h"

#include <windows.h>

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
