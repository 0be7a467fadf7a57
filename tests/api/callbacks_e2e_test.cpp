// The host callbacks end to end: the setters after init, notices from the stand-in service
// reaching the host on the listener thread, callbacks that call back into the library, and
// clearing a callback.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "noticelog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

using testsupport::LibrarySession;
using testsupport::LogCapture;
using testsupport::NoticeLog;

namespace {

void ignoreDevice(const char*) {}
void ignoreEvent(int, const char*) {}

// Calls back into the library from inside the callback and records what it got.
void listWhenConnected(const char* device) {
    const TellanDeviceInfo* devices = nullptr;
    int count = -1;
    const int listed = crop_assist_get_devices(&devices, &count);
    bool enabled = false;
    const int queried = crop_assist_is_enabled(device, &enabled);
    std::string first = count > 0 ? devices[0].sn : "";
    NoticeLog::record("+" + std::string(device) + " list " + std::to_string(listed) + " " +
                      std::to_string(count) + " " + first + " enabled " + std::to_string(queried) +
                      " " + (enabled ? "true" : "false"));
}

void listWhenDisconnected(const char* device) {
    const TellanDeviceInfo* devices = nullptr;
    int count = -1;
    const int listed = crop_assist_get_devices(&devices, &count);
    NoticeLog::record("-" + std::string(device) + " list " + std::to_string(listed) + " " +
                      std::to_string(count));
}

}  // namespace

class CallbacksE2e : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        ASSERT_TRUE(session.waitForCallbackConnections(1));
    }
    void TearDown() override { EXPECT_TRUE(session.exitCleanly()); }

    LogCapture log;
    LibrarySession session{R"({"devices":[]})"};
    NoticeLog notices;
};

TEST_F(CallbacksE2e, SettersAcceptAnyPointerAndNeedNoLock) {
    EXPECT_EQ(crop_assist_set_device_connected_callback(&ignoreDevice), 0);
    EXPECT_EQ(crop_assist_set_device_disconnected_callback(&ignoreDevice), 0);
    EXPECT_EQ(crop_assist_set_device_event_callback(&ignoreEvent), 0);
    EXPECT_EQ(crop_assist_set_device_connected_callback(nullptr), 0);
    EXPECT_EQ(crop_assist_set_device_disconnected_callback(nullptr), 0);
    EXPECT_EQ(crop_assist_set_device_event_callback(nullptr), 0);

    // While another thread waits in a call that the service holds up, a setter still returns.
    ASSERT_TRUE(session.command(R"(script isenabled {"delayMs":2000,"times":1})"));
    std::atomic<bool> answered{false};
    auto pending = std::async(std::launch::async, [&] {
        bool enabled = false;
        const int result = crop_assist_is_enabled("NOPE", &enabled);
        answered = true;
        return result;
    });
    for (int i = 0; i < 200 && session.requests("isenabled").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(session.requests("isenabled").size(), 1u);
    EXPECT_EQ(crop_assist_set_device_event_callback(&ignoreEvent), 0);
    EXPECT_FALSE(answered.load()) << "the setter waited for the call in progress";
    EXPECT_EQ(pending.get(), 3) << "unknown device";
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 1u) << log.dump();
}

TEST_F(CallbacksE2e, NoticesReachTheHostInOrderOnTheListenerThread) {
    ASSERT_TRUE(notices.install());
    for (const char* line : {"arrive N1", "event 2 hello world", "event 3 x", "event 4 ",
                             "rawcb 3\\xc3\\xa9t\\xc3\\xa9\\r\\n", "lose N1"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("-N1"));
    // An event needs a text: "4" alone is no notice.
    EXPECT_EQ(notices.notices(), (std::vector<std::string>{"+N1", "2:hello world", "3:x",
                                                           "3:\xc3\xa9t\xc3\xa9\r", "-N1"}));
    EXPECT_EQ(log.countContaining(QtWarningMsg, "Received unknown API callback:"), 1) << log.dump();
    const auto threads = notices.threads();
    for (const std::thread::id& thread : threads) {
        EXPECT_EQ(thread, threads.front()) << "one listener thread";
        EXPECT_NE(thread, std::this_thread::get_id());
    }
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(CallbacksE2e, ACallbackMayCallBackIntoTheLibrary) {
    ASSERT_EQ(crop_assist_set_device_connected_callback(&listWhenConnected), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(&listWhenDisconnected), 0);
    ASSERT_TRUE(session.command("arrive RE1"));
    ASSERT_TRUE(notices.waitFor("+RE1 list 0 1 RE1 enabled 0 true"))
        << ::testing::PrintToString(notices.notices());
    ASSERT_TRUE(session.command("lose RE1"));
    ASSERT_TRUE(notices.waitFor("-RE1 list 0 0")) << ::testing::PrintToString(notices.notices());
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(CallbacksE2e, ClearingACallbackStopsItsCalls) {
    ASSERT_TRUE(notices.install());
    ASSERT_TRUE(session.command("arrive A"));
    ASSERT_TRUE(notices.waitFor("+A"));

    // Notices are handled in order, so once a later marker has come the earlier one was passed.
    ASSERT_EQ(crop_assist_set_device_connected_callback(nullptr), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(nullptr), 0);
    for (const char* line : {"arrive B", "lose A", "event 2 marker"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("2:marker"));

    ASSERT_EQ(crop_assist_set_device_event_callback(nullptr), 0);
    ASSERT_EQ(crop_assist_set_device_connected_callback(&NoticeLog::connected), 0);
    for (const char* line : {"event 3 unseen", "arrive C"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("+C"));
    EXPECT_EQ(notices.notices(), (std::vector<std::string>{"+A", "2:marker", "+C"}));

    // The registry followed every notice all the same.
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(devices[0].sn, "B");
    EXPECT_STREQ(devices[1].sn, "C");
}
