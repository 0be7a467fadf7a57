// What this process holds of the system, read from /proc, for the fault and soak suites:
// resident memory, threads, file descriptors, and the machine's System V IPC objects.
#pragma once

#include <set>
#include <string>

namespace testsupport {

// Whether resident memory reflects what the code under test holds. Under AddressSanitizer or
// ThreadSanitizer it mostly holds the sanitizer's own shadow memory and quarantine (where leaks
// are the leak checker's business at exit).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentMemoryMeasurable = false;
#else
constexpr bool kResidentMemoryMeasurable = true;
#endif
#else
constexpr bool kResidentMemoryMeasurable = true;
#endif

struct ProcessResources {
    long rssKiB = -1;      // VmRSS
    long peakRssKiB = -1;  // VmHWM, since the start or the last resetPeakRss()
    int threads = -1;
    int fds = -1;
};

ProcessResources processResources();
// processResources() once at most `maxThreads` threads (and, unless `maxFds` is negative, at most
// `maxFds` descriptors) are left, or after `timeoutMs`: a joined Qt thread may linger in the
// kernel for a moment after its last code has run, and a socket deleted later closes late.
ProcessResources processResourcesWithThreads(int maxThreads, int maxFds = -1, int timeoutMs = 3000);
// Makes the peak resident size start again from the current one; false where the kernel
// does not allow it.
bool resetPeakRss();
// "rss 1234 KiB, peak ..., threads ..., fds ..." for failure messages.
std::string describe(const ProcessResources& resources);

// Ids of the machine's shared-memory segments and semaphore sets.
struct IpcObjects {
    std::set<long> segments;
    std::set<long> semaphores;
};

IpcObjects ipcObjects();
// The objects that exist now but not in `baseline`, once they have had up to `settleMs` to go
// (other suites may hold objects of their own for a moment).
IpcObjects ipcAddedSince(const IpcObjects& baseline, int settleMs = 3000);
// The keys of the objects of `objects` that still exist, for failure messages.
std::string describe(const IpcObjects& objects);

}  // namespace testsupport
