// Host callbacks end to end, and the listener ending at a closed socket or an overlong line.
#include "session.h"

#include <future>

namespace {

class Callbacks : public testsupport::SessionTest {
protected:
    Callbacks() : SessionTest(R"({"devices":[]})") {}
    void waitForListenerEnd() {
        for (int i = 0; i < 100 && log.count(QtDebugMsg, "Callback socket disconnected") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
        bool enabled = true;
        EXPECT_EQ(crop_assist_is_enabled("NOPE", &enabled), 3) << "calls go on working";
    }
};

}  // namespace

TEST_F(Callbacks, NoticesReachTheHostInOrderOnTheListenerThread) {
    for (const char* line : {"arrive N1", "event 2 hello world", "event 3 x", "rawcb 4\\n5x\\n",
                             "rawcb 3\\xc3\\xa9t\\xc3\\xa9\\r\\n0CA", "rawcb M2\\n", "lose N1"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("-N1"));
    // "4" alone is no notice, nor is an unknown type; a line may come in pieces.
    EXPECT_EQ(notices.notices(),
              (std::vector<std::string>{"+N1", "2:hello world", "3:x", "3:\xc3\xa9t\xc3\xa9\r",
                                        "+CAM2", "-N1"}));
    EXPECT_EQ(log.at(QtWarningMsg),
              (std::vector<std::string>{"Received unknown API callback: 4 ",
                                        "Received unknown API callback: 5 x"}));
    EXPECT_EQ(notices.threads().size(), 1u) << "one listener thread";
    EXPECT_EQ(notices.threads().count(std::this_thread::get_id()), 0u);
    ASSERT_TRUE(session.command("drop callback"));
    waitForListenerEnd();
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 1u) << "the unknown device's line only";
}

TEST_F(Callbacks, ClearedCallbacksAreNotCalledAndSettersInitAndAttachDoNotWait) {
    // Notices are handled in order: once the marker has come, the ones before it were passed.
    ASSERT_EQ(crop_assist_set_device_connected_callback(nullptr), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(nullptr), 0);
    for (const char* line : {"arrive B", "lose B", "arrive C", "event 2 marker"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("2:marker"));
    ASSERT_EQ(crop_assist_set_device_event_callback(nullptr), 0);
    ASSERT_EQ(crop_assist_set_device_connected_callback(&testsupport::NoticeLog::connected), 0);
    for (const char* line : {"event 3 unseen", "arrive D"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(notices.waitFor("+D"));
    EXPECT_EQ(notices.notices(), (std::vector<std::string>{"2:marker", "+D"}));
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
    ASSERT_EQ(count, 2) << "the registry followed every notice all the same";
    EXPECT_EQ(devices[0].sn + std::string(devices[1].sn), "CD");

    // While another thread waits in a call that the service holds up, a setter still returns,
    // and so do init and attach of the running library.
    ASSERT_TRUE(session.command(R"(script isenabled {"delayMs":1000,"times":1})"));
    std::atomic<bool> answered{false};
    auto pending = std::async(std::launch::async, [&] {
        bool enabled = false;
        const int result = crop_assist_is_enabled("C", &enabled);
        answered = true;
        return result;
    });
    session.control().waitForRequest("isenabled");
    EXPECT_EQ(crop_assist_set_device_event_callback(&testsupport::NoticeLog::event), 0);
    EXPECT_EQ(crop_assist_init() + crop_assist_attach(), 0);
    EXPECT_FALSE(answered) << "the setter, init or attach waited for the call in progress";
    EXPECT_EQ(pending.get(), 0);
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
}

TEST_F(Callbacks, AnOverlongLineStopsTheListenerOnly) {
    // A line of exactly the limit is still taken; one byte more without its end is not.
    const int limit = 20971520;
    for (int sent = 0; sent < limit; sent += 1000000) {
        const int size = std::min(1000000, limit - sent);
        ASSERT_TRUE(session.command(sent ? "rawcb " + std::string(size, 'x')
                                         : "rawcb 2" + std::string(size - 1, 'x')));
    }
    ASSERT_TRUE(session.command("rawcb \\n2before\\n"));
    ASSERT_TRUE(notices.waitFor("2:before"));
    EXPECT_EQ(notices.notices().front().size(), size_t(limit) + 1) << "\"2:\" and the text";
    for (int sent = 0; sent <= limit; sent += 1000000)
        ASSERT_TRUE(
            session.command("rawcb " + std::string(std::min(1000000, limit + 1 - sent), 'x')));
    waitForListenerEnd();
    ASSERT_TRUE(session.command("event 2 after"));
    EXPECT_EQ(log.count(QtCriticalMsg,
                        "Callback line longer than 20971520 bytes; no more notices are read"),
              1);
    EXPECT_EQ(notices.notices().size(), 2u);
}
