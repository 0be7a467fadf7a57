#include "processresources.h"

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

long statusField(const std::string& text, const std::string& name) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

int openDescriptors() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), &::closedir);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir.get()))
        count += entry->d_name[0] != '.' ? 1 : 0;
    return count - 1;  // the directory stream's own descriptor
}

// Id and key of every object listed in /proc/sysvipc/<kind>, by the table's own header.
std::map<long, std::string> ipcTable(const std::string& kind, const std::string& idColumn) {
    std::ifstream table("/proc/sysvipc/" + kind);
    std::string header;
    std::getline(table, header);
    std::istringstream names(header);
    std::vector<std::string> columns;
    for (std::string name; names >> name;)
        columns.push_back(name);
    std::map<long, std::string> objects;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        long id = -1;
        std::string key;
        std::string value;
        for (size_t i = 0; i < columns.size() && fields >> value; ++i) {
            if (columns[i] == idColumn)
                id = std::stol(value);
            else if (columns[i] == "key")
                key = value;
        }
        if (id >= 0)
            objects[id] = key;
    }
    return objects;
}

std::set<long> idsOf(const std::map<long, std::string>& table) {
    std::set<long> ids;
    for (const auto& entry : table)
        ids.insert(entry.first);
    return ids;
}

std::set<long> without(const std::set<long>& now, const std::set<long>& baseline) {
    std::set<long> added;
    for (long id : now)
        if (!baseline.count(id))
            added.insert(id);
    return added;
}

}  // namespace

ProcessResources processResources() {
    std::ifstream file("/proc/self/status");
    std::stringstream text;
    text << file.rdbuf();
    ProcessResources out;
    out.rssKiB = statusField(text.str(), "VmRSS");
    out.peakRssKiB = statusField(text.str(), "VmHWM");
    out.threads = static_cast<int>(statusField(text.str(), "Threads"));
    out.fds = openDescriptors();
    return out;
}

ProcessResources processResourcesWithThreads(int maxThreads, int maxFds, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    ProcessResources now = processResources();
    while ((now.threads > maxThreads || (maxFds >= 0 && now.fds > maxFds)) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = processResources();
    }
    return now;
}

bool resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

std::string describe(const ProcessResources& r) {
    std::ostringstream out;
    out << "rss " << r.rssKiB << " KiB, peak " << r.peakRssKiB << " KiB, threads " << r.threads
        << ", fds " << r.fds;
    return out.str();
}

IpcObjects ipcObjects() {
    return {idsOf(ipcTable("shm", "shmid")), idsOf(ipcTable("sem", "semid"))};
}

IpcObjects ipcAddedSince(const IpcObjects& baseline, int settleMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMs);
    for (;;) {
        const IpcObjects now = ipcObjects();
        IpcObjects added{without(now.segments, baseline.segments),
                         without(now.semaphores, baseline.semaphores)};
        if ((added.segments.empty() && added.semaphores.empty()) ||
            std::chrono::steady_clock::now() >= end)
            return added;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string describe(const IpcObjects& objects) {
    const auto segments = ipcTable("shm", "shmid");
    const auto semaphores = ipcTable("sem", "semid");
    std::ostringstream out;
    out << "segments:";
    for (long id : objects.segments)
        out << " " << id << (segments.count(id) ? " key " + segments.at(id) : " (gone)");
    out << "; semaphore sets:";
    for (long id : objects.semaphores)
        out << " " << id << (semaphores.count(id) ? " key " + semaphores.at(id) : " (gone)");
    return out.str();
}

}  // namespace testsupport
