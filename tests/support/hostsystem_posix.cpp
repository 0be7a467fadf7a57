#include "hostsystem.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

std::vector<std::string> entries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

long statusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

}  // namespace

Resources sampleResources() {
    Resources now;
    now.rssKiB = statusField("VmRSS");
    now.threads = static_cast<int>(statusField("Threads"));
    now.handles = static_cast<int>(entries("/proc/self/fd").size()) - 1;  // the listing's own
    return now;
}

std::set<std::string> ipcObjects() {
    std::set<std::string> ids;
    for (const char* kind : {"shm", "sem"}) {
        std::ifstream table(std::string("/proc/sysvipc/") + kind);
        std::string line, key, id;
        std::getline(table, line);  // the header
        while (std::getline(table, line) && std::istringstream(line) >> key >> id)
            ids.insert(std::string(kind) + " " + id + " key " + key);
    }
    return ids;
}

std::vector<std::pair<long, long>> processes(const std::string& name) {
    std::vector<std::pair<long, long>> found;
    for (const std::string& pid : entries("/proc")) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string line;
        if (pid[0] < '0' || pid[0] > '9' || !std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...: comm (the first 15 characters) may hold blanks.
        const size_t open = line.find('('), close = line.rfind(')');
        char state = 0;
        long ppid = 0;
        std::istringstream(line.substr(close + 1)) >> state >> ppid;
        if (line.compare(open + 1, close - open - 1, name.substr(0, 15)) == 0)
            found.emplace_back(std::stol(pid), ppid);
    }
    return found;
}

long ownProcessId() {
    return ::getpid();
}

bool killHard(long pid) {
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

std::string textOf(const std::string& output) {
    return output;
}

}  // namespace testsupport
