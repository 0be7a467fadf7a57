// What the suites read of the system: hostsystem.cpp is common, the readings differ by system
// (hostsystem_posix.cpp reads /proc and System V IPC, hostsystem_windows.cpp the kernel's tables).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace testsupport {

// Under a sanitizer resident memory mostly holds its shadow memory (leaks are its own business).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeasurable = false;
#else
constexpr bool kResidentMemoryMeasurable = true;
#endif

// This process's resident memory, threads and open handles, once at most `maxThreads` threads
// and `maxHandles` handles are left or after 8 s (a joined thread may linger for a moment, and
// Windows' thread pool ends an idle worker after about 5 s); sampleResources reads them once.
struct Resources {
    long rssKiB = -1;
    int threads = -1, handles = -1;
    std::string describe() const;
};
Resources ownResources(int maxThreads = 1 << 30, int maxHandles = 1 << 30);
// Threads and handles once they have stayed the same for `steadyMs` (the system's thread pool on
// Windows ends an idle thread after about 5 s), within 30 s.
Resources steadyResources(int steadyMs);
Resources sampleResources();

// The machine's live shared-memory segments and semaphores; those added since `baseline`, once
// they have had up to `settleMs` to go.
std::set<std::string> ipcObjects();
std::set<std::string> ipcAddedSince(const std::set<std::string>& baseline, int settleMs = 3000);

// This process's children (running or not yet reaped) whose program name starts with `name`;
// waitForNoChild waits up to `timeoutMs` for none and returns how many are left.
std::vector<long> childProcesses(const std::string& name);
std::set<long> processesNamed(const std::string& name);  // anyone's, on the whole machine
std::vector<std::pair<long, long>> processes(const std::string& name);  // (pid, parent pid)
int waitForNoChild(const std::string& name, int timeoutMs = 5000);
bool killHard(long pid);  // ends a process at once, without letting it clean up
long ownProcessId();

// A program's text output with the system's line ends made "\n" (Windows writes CR LF).
std::string textOf(const std::string& output);

// System V segments outlive a killed owner; a Windows mapping ends with its last handle.
#ifdef _WIN32
constexpr bool kSegmentsOutliveKilledOwner = false;
#else
constexpr bool kSegmentsOutliveKilledOwner = true;
#endif

}  // namespace testsupport
