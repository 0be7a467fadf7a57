#include "noticeprobe.h"

#include <QByteArray>

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

// The host callback takes no context pointer; the one started probe is found here.
std::atomic<NoticeProbe*> startedProbe{nullptr};

constexpr char kMark[] = "bench";
constexpr auto kNoticeTimeout = std::chrono::seconds(5);

// The sequence number of one of our event texts ("bench<n>"), or 0 for anything else.
qlonglong sequenceOf(const char* text) {
    const size_t mark = sizeof(kMark) - 1;
    if (std::strncmp(text, kMark, mark) != 0)
        return 0;
    return std::strtoll(text + mark, nullptr, 10);
}

}  // namespace

NoticeProbe::~NoticeProbe() {
    stop();
}

bool NoticeProbe::start() {
    NoticeProbe* expected = nullptr;
    if (!startedProbe.compare_exchange_strong(expected, this))
        return false;
    if (crop_assist_set_device_event_callback(&NoticeProbe::onEvent) == 0)
        return true;
    startedProbe.store(nullptr);
    return false;
}

void NoticeProbe::stop() {
    NoticeProbe* self = this;
    if (startedProbe.compare_exchange_strong(self, nullptr))
        crop_assist_set_device_event_callback(nullptr);
}

NoticeProbe::Clock::duration NoticeProbe::notice(ControlClient& control) {
    const qlonglong sequence = ++sequence_;
    const QByteArray command = "event 2 " + QByteArray(kMark) + QByteArray::number(sequence);
    const Clock::time_point sent = Clock::now();
    if (!control.send(command))
        return Clock::duration(-1);
    Clock::duration took(-1);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (arrived_.wait_for(lock, kNoticeTimeout, [&] { return arrivedSequence_ >= sequence; }))
            took = arrivedAt_ - sent;
    }
    // The answer comes after the notice was written; it is read outside the measured span.
    return answeredOk(control.readAnswer()) ? took : Clock::duration(-1);
}

NoticeProbe::Clock::duration NoticeProbe::rawLine(ControlClient& control) {
    const Clock::time_point sent = Clock::now();
    const QByteArray answer = control.command("clients");
    const Clock::duration took = Clock::now() - sent;
    return answeredOk(answer) ? took : Clock::duration(-1);
}

void NoticeProbe::onEvent(int event, const char* text) {
    const Clock::time_point now = Clock::now();
    NoticeProbe* probe = startedProbe.load();
    const qlonglong sequence = event == 2 ? sequenceOf(text) : 0;
    if (!probe || sequence == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(probe->mutex_);
        probe->arrivedSequence_ = sequence;
        probe->arrivedAt_ = now;
    }
    probe->arrived_.notify_all();
}

}  // namespace bench
