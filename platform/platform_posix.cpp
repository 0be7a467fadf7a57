// POSIX side of the platform layer: /proc/self/exe, dladdr and System V shared memory.
#include "platform.h"

#include <dlfcn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quarn::tellan_api::platform {

namespace {

// The library's wording for an OS failure, with the error value in hexadecimal.
std::string osErrorText(const char* what, int error) {
    char line[160];
    std::snprintf(line, sizeof line, "ERROR: %s: errno = 0x%x", what, static_cast<unsigned>(error));
    return line;
}

}  // namespace

std::string executablePath() {
    char buffer[1024];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    // A path that fills the buffer may have been cut: report it rather than use half a path.
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer))
        throw std::runtime_error("Cannot get executable path");
    return std::string(buffer, static_cast<size_t>(n));
}

std::string libraryDirectory(std::string& error) {
    Dl_info info{};
    // Any function of the library serves as the address inside it.
    if (::dladdr(reinterpret_cast<void*>(&libraryDirectory), &info) == 0 || !info.dli_fname) {
        error = osErrorText("Cannot get library handle", errno);
        return std::string();
    }
    std::string path = info.dli_fname;
    if (path.empty()) {
        error = osErrorText("Cannot get library path", errno);
        return std::string();
    }
    const size_t slash = path.rfind('/');
    // Keep the separator; a bare file name keeps its first character, as on Windows.
    path.resize(slash == std::string::npos ? 1 : slash + 1);
    return path;
}

const char* globalNamePrefix() {
    return "";
}

}  // namespace quarn::tellan_api::platform
