// The watch subcommand: device notices as they come, until the user interrupts.
#include "hostsystem.h"
#include "session.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace cropassist {

namespace {

// Lock-free, so the signal handler may set it whatever thread the signal lands on.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal flag must be lock-free");

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

// Restores the previous handlers when the watch ends.
class InterruptFlag {
public:
    InterruptFlag()
        : previousInt_(std::signal(SIGINT, onInterrupt)),
          previousTerm_(std::signal(SIGTERM, onInterrupt)) {
        interrupted.store(false);
        closeRequested();  // makes the queue that a request to close is posted to
    }
    ~InterruptFlag() {
        std::signal(SIGINT, previousInt_);
        std::signal(SIGTERM, previousTerm_);
    }
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

    bool raised() const { return interrupted.load() || closeRequested(); }

private:
    void (*previousInt_)(int);
    void (*previousTerm_)(int);
};

}  // namespace

int runWatch(bool start, Output& output) {
    // Installed before the session opens, so that an interrupt during start-up still ends
    // the library cleanly instead of killing the process.
    InterruptFlag flag;
    int code = 0;
    const auto session = openSession(start, output, &code);
    if (!session) {
        return exitStatus(code);
    }
    awaitAnnouncements(*session);
    // Callbacks first, then the listing: a device that arrives in between shows twice rather
    // than not at all.
    showNotices(*session, output);
    const auto devices = session->devices();
    if (!devices.ok()) {
        output.report(Report{"get-devices", {}, devices.code(), {}});
        return exitStatus(devices.code());
    }
    for (const auto& device : *devices) {
        output.notice("present", {{"device", device.sn}});
    }

    using Clock = std::chrono::steady_clock;
    auto nextCheck = Clock::now() + std::chrono::seconds(1);
    while (!flag.raised()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Clock::now() >= nextCheck) {
            nextCheck = Clock::now() + std::chrono::seconds(1);
            if (!session->connected()) {
                output.error("watch", CROP_ASSIST_NOT_INITIALIZED,
                             "the connection to the service was lost");
                return CROP_ASSIST_NOT_INITIALIZED;
            }
        }
    }
    return 0;  // the session's end unsets the callbacks and exits the library
}

}  // namespace cropassist
