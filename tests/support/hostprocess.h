// Helpers for suites that act as a host process of the library: scenario environment variables
// that the started service inherits, and a look at the service processes this process started.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// Sets an environment variable for its lifetime and restores the previous state afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string previous_;
    bool hadPrevious_;
};

// Process ids of this process's children (running, or ended and not yet reaped) whose executable
// file name starts with `name` (the kernel keeps the first 15 characters).
std::vector<int> childProcessIds(const std::string& name);
// The number of those.
int childProcessCount(const std::string& name);

// Waits up to `timeoutMs` until childProcessCount(name) is 0; returns the last count.
int waitForNoChildProcess(const std::string& name, int timeoutMs);

}  // namespace testsupport
