// A library session against the stand-in, with a scenario and control channel of its own.
#pragma once

#include "crop_assist.h"
#include "logcapture.h"
#include "service.h"

#include <QUuid>

#include <algorithm>
#include <condition_variable>
#include <set>
#include <thread>

namespace testsupport {

inline ::testing::AssertionResult onlyCriticalLine(const LogCapture& log,
                                                   const std::string& expected) {
    if (log.at(QtCriticalMsg) == std::vector<std::string>{expected})
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected the one critical line \"" << expected << "\"; the log was:\n"
           << log.dump();
}

// Notices the host's callbacks get, and their threads; one alive at most (no C context).
class NoticeLog {
public:
    NoticeLog() { active = this; }
    ~NoticeLog() { active = nullptr; }
    bool install() {
        return crop_assist_set_device_connected_callback(&connected) == 0 &&
               crop_assist_set_device_disconnected_callback(&disconnected) == 0 &&
               crop_assist_set_device_event_callback(&event) == 0;
    }
    static void connected(const char* sn) { record("+" + std::string(sn)); }
    static void disconnected(const char* sn) { record("-" + std::string(sn)); }
    static void event(int code, const char* text) { record(std::to_string(code) + ":" + text); }
    bool waitFor(const std::string& notice, int times = 1, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return std::count(notices_.begin(), notices_.end(), notice) >= times;
        });
    }
    std::vector<std::string> notices() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    static void record(const std::string& notice) {
        if (NoticeLog* self = active) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->notices_.push_back(notice);
            self->threads_.insert(std::this_thread::get_id());
            self->changed_.notify_all();
        }
    }
    static inline std::atomic<NoticeLog*> active{nullptr};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> notices_;
    std::set<std::thread::id> threads_;
};

// Lists until there are `count` devices: the service announces them just after connecting.
inline int listDevicesUntil(int count) {
    const TellanDeviceInfo* devices = nullptr;
    int listed = 0;
    for (int i = 0; i < 250 && crop_assist_get_devices(&devices, &listed) == 0 && listed < count;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return listed;
}

class LibrarySession {
public:
    // `scenarioJson` replaces any scenario the environment names; "" leaves the environment's.
    explicit LibrarySession(const std::string& scenarioJson = "{}")
        : controlName_("OmnivueControl_" +
                       QUuid::createUuid().toString(QUuid::Id128).toStdString()) {
        ScopedEnv control("OMNIVUE_CONTROL", controlName_);
        ScopedEnv scenario(scenarioJson.empty() ? "OMNIVUE_UNUSED" : "OMNIVUE_SCENARIO_JSON",
                           scenarioJson);
        initResult_ = crop_assist_init();
    }
    ~LibrarySession() { crop_assist_exit(); }
    int initResult() const { return initResult_; }
    ServiceControl& control() {
        if (!control_)
            control_ = std::make_unique<ServiceControl>(controlName_);
        return *control_;
    }
    ::testing::AssertionResult command(const std::string& line) { return control().ok(line); }
    bool exitCleanly() {
        control_.reset();
        return crop_assist_exit() == 0 && waitForNoChild("OmnivueService.exe") == 0;
    }

private:
    std::string controlName_;
    int initResult_ = -1;
    std::unique_ptr<ServiceControl> control_;
};

// Starts once the callback listener is connected (earlier notices reach nobody); ends cleanly.
class SessionTest : public ::testing::Test {
protected:
    explicit SessionTest(const std::string& scenarioJson = "{}") : session(scenarioJson) {}
    void SetUp() override {
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        ASSERT_TRUE(notices.install());
        ASSERT_TRUE(session.control().waitForCallbackConnections(1));
    }
    void TearDown() override { EXPECT_TRUE(session.exitCleanly()); }

    LogCapture log;
    LibrarySession session;
    NoticeLog notices;
};

}  // namespace testsupport
