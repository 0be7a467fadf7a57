// What the suites read of the system, behind one small interface: the only place with code that
// differs between systems (hostsystem_posix.cpp reads /proc and System V IPC and sends signals).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace testsupport {

// Whether resident memory reflects what the code under test holds; under a sanitizer it mostly
// holds the sanitizer's own shadow memory (and leaks are the leak checker's business).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeasurable = false;
#else
constexpr bool kResidentMemoryMeasurable = true;
#endif

// This process: resident memory, threads and open handles (descriptors).
struct Resources {
    long rssKiB = -1;
    int threads = -1;
    int handles = -1;
    std::string describe() const;
};
// Once at most `maxThreads` threads and `maxHandles` handles are left, or after 3 s: a joined
// thread may linger in the kernel for a moment, and a socket deleted later closes late.
Resources ownResources(int maxThreads = 1 << 30, int maxHandles = 1 << 30);

// The machine's live shared-memory segments and semaphores, by id.
std::set<std::string> ipcObjects();
// Those that exist now but not in `baseline`, once they have had up to `settleMs` to go.
std::set<std::string> ipcAddedSince(const std::set<std::string>& baseline, int settleMs = 3000);

// Ids of this process's children (running or not yet reaped) whose program name starts with
// `name`; waitForNoChild waits up to `timeoutMs` until there is none and returns how many are left.
std::vector<long> childProcesses(const std::string& name);
int waitForNoChild(const std::string& name, int timeoutMs = 5000);
// Ends a process at once, without letting it clean up.
bool killHard(long pid);

}  // namespace testsupport
