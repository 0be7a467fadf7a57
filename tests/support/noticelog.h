// Records the device notices that reach a host's callbacks, for the end-to-end suites: "+sn" for
// an arrival, "-sn" for a loss, "<code>:<text>" for an event, in the order received, with the
// thread each came on. Header-only because it registers with the shared library.
#pragma once

#include "crop_assist.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class NoticeLog {
public:
    // At most one may be alive: the C callbacks have no context pointer.
    NoticeLog() { active().store(this); }
    ~NoticeLog() { active().store(nullptr); }
    NoticeLog(const NoticeLog&) = delete;
    NoticeLog& operator=(const NoticeLog&) = delete;

    // Registers all three callbacks; true when the library accepted them.
    bool install() {
        return crop_assist_set_device_connected_callback(&NoticeLog::connected) == 0 &&
               crop_assist_set_device_disconnected_callback(&NoticeLog::disconnected) == 0 &&
               crop_assist_set_device_event_callback(&NoticeLog::event) == 0;
    }

    static void connected(const char* device) { record("+" + std::string(device)); }
    static void disconnected(const char* device) { record("-" + std::string(device)); }
    static void event(int code, const char* text) {
        record(std::to_string(code) + ":" + std::string(text));
    }

    // Adds one entry as if a callback had delivered it (for callbacks of a test's own).
    static void record(const std::string& notice) {
        NoticeLog* self = active().load();
        if (!self)
            return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->notices_.push_back(notice);
            self->threads_.push_back(std::this_thread::get_id());
        }
        self->changed_.notify_all();
    }

    // Waits until `notice` has been recorded `times` times in all; false after `timeoutMs`.
    bool waitFor(const std::string& notice, int times = 1, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return countLocked(notice) >= times; });
    }

    int count(const std::string& notice) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(notice);
    }

    std::vector<std::string> notices() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }

    std::vector<std::thread::id> threads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    static std::atomic<NoticeLog*>& active() {
        static std::atomic<NoticeLog*> current{nullptr};
        return current;
    }

    int countLocked(const std::string& notice) const {
        int n = 0;
        for (const std::string& entry : notices_)
            n += entry == notice ? 1 : 0;
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> notices_;
    std::vector<std::thread::id> threads_;
};

}  // namespace testsupport
