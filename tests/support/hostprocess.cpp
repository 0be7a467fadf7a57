#include "hostprocess.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace testsupport {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    hadPrevious_ = old != nullptr;
    if (old)
        previous_ = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (hadPrevious_)
        ::setenv(name_.c_str(), previous_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

std::vector<int> childProcessIds(const std::string& name) {
    const std::string comm = name.substr(0, 15);  // the kernel keeps no more
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    std::vector<int> pids;
    while (proc) {
        const dirent* entry = ::readdir(proc.get());
        if (!entry)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks, so split at the last ')'.
        const size_t open = line.find('(');
        const size_t close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == static_cast<long>(::getpid()) &&
            line.compare(open + 1, close - open - 1, comm) == 0)
            pids.push_back(std::atoi(entry->d_name));
    }
    return pids;
}

int childProcessCount(const std::string& name) {
    return static_cast<int>(childProcessIds(name).size());
}

int waitForNoChildProcess(const std::string& name, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int count = childProcessCount(name);
    while (count != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        count = childProcessCount(name);
    }
    return count;
}

}  // namespace testsupport
