// Crashes, drops, stalls, oversized frames, kills: each ends in its code, no hang, clean exit.
#include "session.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <future>

using testsupport::LibrarySession;
using testsupport::onlyCriticalLine;

namespace {

// A call that never returns cannot be stopped: the process ends right after the report.
template <class R>
R returned(std::future<R>& call) {
    if (call.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the call did not return within 10 s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    return call.get();
}

// The one critical line of a lost connection; its text depends on when the loss is seen.
bool lostConnectionLine(const testsupport::LogCapture& log, const std::string& start) {
    for (const char* text : {"Failed to start read API reply - socket not connected",
                             "Failed to read API reply", "Server disconnected"})
        if (log.at(QtCriticalMsg) == std::vector<std::string>{start + text})
            return true;
    return false;
}

class FaultMatrix : public testsupport::SessionTest {};

}  // namespace

struct Loss {
    const char* fault;
    bool attached;
    int code;
};
// One case each, so that a failed start or attach of one hides none of the others.
class FaultMatrixLoss : public ::testing::TestWithParam<Loss> {};
INSTANTIATE_TEST_SUITE_P(
    CrashDropAttached, FaultMatrixLoss,
    ::testing::Values(Loss{R"(script isenabled {"delayMs":300,"crash":true})", false, 97},
                      Loss{R"(script isenabled {"delayMs":300,"drop":true,"times":1})", false, 99},
                      Loss{R"(script isenabled {"delayMs":300,"crash":true})", true, 99}));

// A crash of the service the library started gives 97, any other loss 99, here and later on.
TEST_P(FaultMatrixLoss, LossesInTheMiddleOfACall) {
    const Loss& c = GetParam();
    testsupport::LogCapture log;
    std::unique_ptr<testsupport::StandaloneService> standalone;
    std::unique_ptr<LibrarySession> session;
    if (c.attached) {
        standalone = std::make_unique<testsupport::StandaloneService>("{}");
        ASSERT_EQ(crop_assist_attach(), 0) << log.dump();
    } else {
        session = std::make_unique<LibrarySession>();
        ASSERT_EQ(session->initResult(), 0) << log.dump();
    }
    auto& control = c.attached ? standalone->control() : session->control();
    testsupport::NoticeLog notices;
    ASSERT_TRUE(notices.install());
    // A fault before the listener has connected would add the listener's own line.
    ASSERT_TRUE(control.waitForCallbackConnections(1));
    control.command(c.fault);
    bool enabled = true;
    auto call =
        std::async(std::launch::async, [&] { return crop_assist_is_enabled("CAM1", &enabled); });
    const std::string crashed = c.code == 97 ? " (service crash detected)" : "";
    EXPECT_EQ(returned(call), c.code);
    EXPECT_FALSE(enabled);
    EXPECT_TRUE(
        lostConnectionLine(log, "Omnivue API:failed to get feature status" + crashed + ": "))
        << log.dump();
    EXPECT_FALSE(crop_assist_is_initialized());
    log.clear();
    TellanMode mode = TELLAN_MODE_OFF;
    EXPECT_EQ(crop_assist_get_mode("CAM1", &mode), c.code);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    EXPECT_TRUE(onlyCriticalLine(
        log, "Omnivue API:failed to get current mode" + crashed + ": Server disconnected"));
    if (c.code == 99 && !c.attached) {
        // Telling a loss from a crash must not wait for the service (once 200 ms a call).
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(crop_assist_get_mode("CAM1", &mode), 99);
        EXPECT_LT(clock.elapsed(), 5000);
        // The callback channel is a connection of its own and goes on working.
        ASSERT_TRUE(control.ok("arrive AFTER"));
        EXPECT_TRUE(notices.waitFor("+AFTER"));
    }
    log.clear();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_TRUE(!standalone || standalone->process().waitForFinished(5000));
    EXPECT_EQ(testsupport::waitForNoChild("OmnivueService.exe"), 0);
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
}

// 20 MiB less one byte is read (and refused), 20 MiB is not; scripts that long come by file.
TEST(FaultMatrixOversized, TheReaderLimitIsTwentyMiB) {
    const int limit = 20971520;
    QTemporaryDir folder;
    QFile scenario(folder.filePath("oversized.json"));
    ASSERT_TRUE(scenario.open(QIODevice::WriteOnly));
    // {"code":0,"err":"","reply":"x...x"} of `size` bytes, escaped for JSON.
    const auto reply = [](int size) {
        return R"("raw":"{\"code\":0,\"err\":\"\",\"reply\":\")" + QByteArray(size - 30, 'x') +
               R"(\"}")";
    };
    scenario.write(R"({"commands":{"gmode":{"times":1,)" + reply(limit - 1) + R"(},"gemode":{)" +
                   reply(limit) + "}}}");
    scenario.close();
    testsupport::ScopedEnv file("OMNIVUE_SCENARIO", scenario.fileName().toStdString());
    testsupport::LogCapture log;
    LibrarySession session("");  // no inline scenario: the file's is used
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    TellanMode mode = TELLAN_MODE_OFF;
    EXPECT_EQ(crop_assist_get_mode("CAM1", &mode), CROP_ASSIST_FAILURE);
    EXPECT_TRUE(onlyCriticalLine(
        log,
        "Omnivue API:failed to get current mode: GET_CROP_ASSIST_MODE: Expected single number"));
    log.clear();
    EXPECT_EQ(crop_assist_get_mode_effective("CAM1", &mode), CROP_ASSIST_FAILURE);
    EXPECT_TRUE(onlyCriticalLine(log,
                                 "Omnivue API:failed to get current effective mode: Too much "
                                 "unstructured data from server"));
    EXPECT_TRUE(session.exitCleanly());
}

// A crash mid-fetch must release the registry lock, or the listener and then exit would hang.
TEST_F(FaultMatrix, ACrashDuringADeviceFetchReleasesTheRegistry) {
    ASSERT_TRUE(session.command("arrive D1"));
    ASSERT_TRUE(notices.waitFor("+D1"));
    ASSERT_TRUE(session.command(R"(script gdevi {"delayMs":2000,"crash":true})"));
    const TellanDeviceInfo* devices = nullptr;
    int count = -1;
    auto listing =
        std::async(std::launch::async, [&] { return crop_assist_get_devices(&devices, &count); });
    session.control().waitForRequest("gdevi");
    // Events do not touch the registry; an arrival waits until the fetch has ended.
    ASSERT_TRUE(session.command("event 2 during"));
    ASSERT_TRUE(session.command("arrive D2"));
    EXPECT_TRUE(notices.waitFor("2:during"));
    EXPECT_FALSE(notices.waitFor("+D2", 1, 300)) << "an arrival was taken during the fetch";
    EXPECT_EQ(returned(listing), CROP_ASSIST_SERVICE_CRASHED);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(notices.waitFor("+D2")) << "the listener stayed blocked on the registry";
    EXPECT_TRUE(
        lostConnectionLine(log, "Omnivue API:cannot get devices (service crash detected): "))
        << log.dump();
}

// A stalled service ignores the polite request to end; exit kills it after its wait.
TEST_F(FaultMatrix, ExitEndsAStalledService) {
    ASSERT_TRUE(session.command("stall 60000"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
}

std::promise<void> callbackEntered;
std::atomic<bool> callbackLeft{false};
TEST_F(FaultMatrix, ExitWaitsForABlockedCallback) {
    ASSERT_EQ(crop_assist_set_device_connected_callback([](const char*) {
                  callbackEntered.set_value();
                  std::this_thread::sleep_for(std::chrono::milliseconds(300));
                  callbackLeft = true;
              }),
              0);
    ASSERT_TRUE(session.command("arrive HOLD"));
    ASSERT_EQ(callbackEntered.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_TRUE(callbackLeft) << "exit went on while the listener was still in the callback";
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
}

// Where segments outlive their owner, a hard kill leaves the record behind: neither an attach
// nor the next service may take it for a live one, and in the end nothing is left.
TEST(FaultMatrixKilled, AKilledServiceLeavesNothingThatStopsTheNextOne) {
    testsupport::LogCapture log;
    const std::set<std::string> baseline = testsupport::ipcObjects();
    {
        testsupport::StandaloneService killed;
        ASSERT_TRUE(killed.ready());
        ASSERT_TRUE(testsupport::killHard(killed.process().processId()));
        ASSERT_TRUE(killed.process().waitForFinished(5000));
    }
    ASSERT_EQ(!testsupport::ipcAddedSince(baseline, 0).empty(),
              testsupport::kSegmentsOutliveKilledOwner);
    EXPECT_EQ(crop_assist_attach(), 1);
    EXPECT_TRUE(onlyCriticalLine(log, "Cannot start Omnivue Controller: API server not found"));
    log.clear();
    LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    bool enabled = false;
    EXPECT_EQ(crop_assist_is_enabled("CAM1", &enabled), 0);
    EXPECT_TRUE(session.exitCleanly());
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
    const std::set<std::string> added = testsupport::ipcAddedSince(baseline);
    EXPECT_TRUE(added.empty()) << *added.begin();
}
