// Notice delivery. The library figure: the stand-in is asked (on its control channel) to send an
// event line, which its callback server writes to the library's listener, which calls the host
// callback; the time runs from the command to the callback. The baseline: the same kind of
// command answered with one line that a raw QLocalSocket line read takes. Each is the only
// receiver woken by its line, so the two differ by what lies between the socket and the host.
#pragma once

#include "controlclient.h"
#include "crop_assist.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace bench {

class NoticeProbe {
public:
    using Clock = std::chrono::steady_clock;

    NoticeProbe() = default;
    ~NoticeProbe();
    NoticeProbe(const NoticeProbe&) = delete;
    NoticeProbe& operator=(const NoticeProbe&) = delete;

    // Sets the library's event callback; only one probe may be started at a time.
    bool start();
    // Clears the callback.
    void stop();

    // Has the stand-in send one event notice and waits for the host callback. Returns the time
    // from sending the command to the callback, or a negative duration on a time-out.
    Clock::duration notice(ControlClient& control);
    // The baseline: one control command whose answer line is read raw. Negative on a failure.
    static Clock::duration rawLine(ControlClient& control);

private:
    static void CROP_ASSIST_CALL onEvent(int event, const char* text);

    std::mutex mutex_;
    std::condition_variable arrived_;
    qlonglong sequence_ = 0;
    qlonglong arrivedSequence_ = 0;
    Clock::time_point arrivedAt_;
};

}  // namespace bench
