// POSIX side of the platform layer: /proc/self/exe, dladdr, System V shared memory and the
// state of a child process.
#include "platform.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace quarn::tellan_api::platform {

namespace {

// The library's wording for an OS failure, with the error value in hexadecimal.
std::string osErrorText(const char* what, int error) {
    char line[160];
    std::snprintf(line, sizeof line, "ERROR: %s: errno = 0x%x", what, static_cast<unsigned>(error));
    return line;
}

// The file mapped at `address`, as the kernel names it (always absolute); "" when none is.
std::string mappedFileAt(const void* address) {
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        // start-end perms offset device inode path
        std::istringstream fields(line);
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        std::string perms, offset, device, inode;
        fields >> std::hex >> start >> dash >> end >> perms >> offset >> device >> inode;
        if (!fields || wanted < start || wanted >= end)
            continue;
        std::string path;
        std::getline(fields >> std::ws, path);
        return path.empty() || path[0] != '/' ? std::string() : path;
    }
    return std::string();
}

// Qt derives the System V key of a segment from its key file with the project id 'Q'.
int segmentId(const std::string& nativeKey) {
    const key_t key = ::ftok(nativeKey.c_str(), 'Q');
    return key == -1 ? -1 : ::shmget(key, 0, 0);
}

bool isDetachedEverywhere(int id) {
    shmid_ds status{};
    return ::shmctl(id, IPC_STAT, &status) == 0 && status.shm_nattch == 0;
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
    const auto self = reinterpret_cast<void*>(&libraryDirectory);
    if (::dladdr(self, &info) == 0 || !info.dli_fname) {
        error = osErrorText("Cannot get library handle", errno);
        return std::string();
    }
    std::string path = info.dli_fname;
    // The loader reports the main program by the name it was started with, which may be
    // relative to a working directory that has changed since; the mapping knows the real file.
    if (!path.empty() && path[0] != '/') {
        const std::string mapped = mappedFileAt(self);
        if (!mapped.empty()) {
            path = mapped;
        } else {
            char cwd[4096];
            if (::getcwd(cwd, sizeof cwd))
                path = std::string(cwd) + '/' + path;
        }
    }
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

bool isOrphanedSegment(const std::string& nativeKey) {
    const int id = segmentId(nativeKey);
    return id != -1 && isDetachedEverywhere(id);
}

void removeOrphanedSegment(const std::string& nativeKey) {
    const int id = segmentId(nativeKey);
    // Someone may have attached since the check: then the segment and its key file stay.
    if (id == -1 || !isDetachedEverywhere(id) || ::shmctl(id, IPC_RMID, nullptr) != 0)
        return;
    ::unlink(nativeKey.c_str());
}

// dlclose and process exit run the library's release on a thread that may still join others.
void enterLibraryThread() {}

void leaveLibraryThread() {}

void idleSleep(int ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
}

struct IdleWake::Native {
    std::mutex mutex;
    std::condition_variable raised;
    bool notified = false;
};

IdleWake::IdleWake() : native(new Native) {}

IdleWake::~IdleWake() {
    delete native;
}

void IdleWake::notify() {
    std::lock_guard<std::mutex> lock(native->mutex);
    native->notified = true;
    native->raised.notify_one();
}

void IdleWake::wait(int ms) {
    std::unique_lock<std::mutex> lock(native->mutex);
    const auto notified = [this] { return native->notified; };
    if (ms < 0)
        native->raised.wait(lock, notified);
    else
        native->raised.wait_for(lock, std::chrono::milliseconds(ms), notified);
    native->notified = false;
}

void setStartedProcess(long long) {}

void keepModuleLoaded(const void*) {}

bool unloadEndedThreads() {
    return false;
}

void forgetEndedThreads() {}

void setThreadsEndedHook(void (*)()) {}

bool threadsCannotBeJoined() {
    return false;
}

void endSessionHere() {}

bool processIsEnding(int64_t pid) {
    // Linux: the task's state and flags (fields 3 and 9 of /proc/<pid>/stat). Exit marks the
    // task PF_EXITING before it closes any file; a collected process has no entry at all.
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file)
        return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    std::string stat;
    std::getline(file, stat);
    const std::string::size_type nameEnd = stat.rfind(')');  // the name may hold blanks
    if (nameEnd == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state, ppid, pgrp, session, tty, tpgid;
    unsigned long flags = 0;
    fields >> state >> ppid >> pgrp >> session >> tty >> tpgid >> flags;
    constexpr unsigned long kExiting = 0x4;  // PF_EXITING
    return fields && (state == "Z" || state == "X" || (flags & kExiting) != 0);
}

}  // namespace quarn::tellan_api::platform
