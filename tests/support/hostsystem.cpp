#include "hostsystem.h"

#include <QThread>

namespace testsupport {

std::string Resources::describe() const {
    return "memory " + std::to_string(rssKiB) + " KiB, threads " + std::to_string(threads) +
           ", handles " + std::to_string(handles);
}

Resources ownResources(int maxThreads, int maxHandles) {
    Resources now = sampleResources();
    for (int i = 0; i < 400 && (now.threads > maxThreads || now.handles > maxHandles); ++i) {
        QThread::msleep(20);
        now = sampleResources();
    }
    return now;
}

Resources steadyResources(int steadyMs) {
    Resources now = sampleResources();
    for (int steady = 0, waited = 0; steady < steadyMs && waited < 30000; waited += 100) {
        QThread::msleep(100);
        const Resources next = sampleResources();
        steady = next.threads == now.threads && next.handles == now.handles ? steady + 100 : 0;
        now = next;
    }
    return now;
}

std::set<std::string> ipcAddedSince(const std::set<std::string>& baseline, int settleMs) {
    for (int waited = 0;; waited += 20, QThread::msleep(20)) {
        std::set<std::string> added;
        for (const std::string& id : ipcObjects())
            if (!baseline.count(id))
                added.insert(id);
        if (added.empty() || waited >= settleMs)
            return added;
    }
}

std::vector<long> childProcesses(const std::string& name) {
    std::vector<long> pids;
    for (const auto& [pid, parent] : processes(name))
        if (parent == ownProcessId())
            pids.push_back(pid);
    return pids;
}

std::set<long> processesNamed(const std::string& name) {
    std::set<long> pids;
    for (const auto& process : processes(name))
        pids.insert(process.first);
    return pids;
}

int waitForNoChild(const std::string& name, int timeoutMs) {
    for (int waited = 0; !childProcesses(name).empty() && waited < timeoutMs; waited += 20)
        QThread::msleep(20);
    return static_cast<int>(childProcesses(name).size());
}

}  // namespace testsupport
