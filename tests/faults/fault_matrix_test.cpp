// The whole library against a stand-in service that misbehaves: it crashes, drops its
// connection or stalls in the middle of a call, answers with garbage, truncated or oversized
// frames, floods the callback channel, or is killed outright. Every fault must end in its result
// code without a hang, and exit must stay clean after it. The flood of notices has a file of its
// own, notice_flood_test.cpp.
#include "crop_assist.h"
#include "hostprocess.h"
#include "librarysession.h"
#include "logcapture.h"
#include "noticelog.h"
#include "processresources.h"
#include "servicecontrol.h"
#include "sessiontest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using testsupport::LibrarySession;
using testsupport::LogCapture;
using testsupport::StandaloneService;

namespace {

const char kCam1[] = "CAM1";

// Waits for a call started with std::async. A call that has not returned in time is the failure
// under test, and as nothing can stop it the process ends right after the report.
template <class R>
R returnsWithin(std::future<R>& call, int limitMs, const char* what) {
    if (call.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not return within " << limitMs << " ms";
        std::fflush(stdout);
        std::_Exit(1);
    }
    return call.get();
}

bool startsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// Success when the only critical line reports a lost connection for `failureText`, not a crash:
// which of the lost-connection texts comes first depends on when the loss is seen.
::testing::AssertionResult onlyLostConnectionLine(const LogCapture& log,
                                                  const std::string& failureText) {
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    const std::string start = "Omnivue API:" + failureText + ": ";
    if (critical.size() == 1 &&
        (critical[0] == start + "Failed to start read API reply - socket not connected" ||
         critical[0] == start + "Failed to read API reply" ||
         critical[0] == start + "Server disconnected"))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected one lost-connection line; the log was:\n"
                                         << log.dump();
}

// Waits until the service has recorded `count` requests of `type`.
bool waitForRequests(LibrarySession& session, const QString& type, size_t count) {
    for (int i = 0; i < 500; ++i) {
        if (session.requests(type).size() >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

// A fault before the listener has connected would add the listener's own line; the fixture
// waits for it.
class FaultMatrix : public testsupport::SessionTest {};

// The registry lock is held across the fetch; the crash must release it, so that the notice
// waiting for it goes through and exit can join the listener.
TEST_F(FaultMatrix, ACrashDuringADeviceFetchReleasesTheRegistry) {
    ASSERT_TRUE(session.command("arrive D1"));
    ASSERT_TRUE(notices.waitFor("+D1"));
    ASSERT_TRUE(session.command(R"(script gdevi {"delayMs":2000,"crash":true})"));
    const TellanDeviceInfo* devices = nullptr;
    int count = -1;
    auto listing =
        std::async(std::launch::async, [&] { return crop_assist_get_devices(&devices, &count); });
    ASSERT_TRUE(waitForRequests(session, "gdevi", 1));
    ASSERT_TRUE(session.command("arrive D2"));
    EXPECT_EQ(returnsWithin(listing, 10000, "the listing"), CROP_ASSIST_SERVICE_CRASHED);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(notices.waitFor("+D2")) << "the listener stayed blocked on the registry";
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_TRUE(
        startsWith(critical[0], "Omnivue API:cannot get devices (service crash detected): "))
        << critical[0];
}

TEST(FaultMatrixAttached, ACrashInTheMiddleOfACallGives99) {
    LogCapture log;
    {
        StandaloneService service("{}", testsupport::uniqueControlName("faults"));
        ASSERT_TRUE(service.ready()) << service.error();
        ASSERT_EQ(crop_assist_attach(), 0) << log.dump();
        ASSERT_TRUE(testsupport::waitForCallbackConnections(service.control(), 1));
        ASSERT_TRUE(testsupport::controlOk(service.control(),
                                           R"(script gmode {"delayMs":300,"crash":true})"));
        TellanMode mode = TELLAN_MODE_SPEAKER;
        auto call =
            std::async(std::launch::async, [&] { return crop_assist_get_mode(kCam1, &mode); });
        EXPECT_EQ(returnsWithin(call, 10000, "the call"), CROP_ASSIST_NOT_INITIALIZED);
        EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
        ASSERT_TRUE(service.process().waitForFinished(5000));
        EXPECT_EQ(service.process().exitStatus(), QProcess::CrashExit);
        EXPECT_TRUE(onlyLostConnectionLine(log, "failed to get current mode"));
        EXPECT_FALSE(crop_assist_is_initialized());
    }
    log.clear();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(FaultMatrix, ADroppedRequestConnectionGives99AndExitStaysClean) {
    ASSERT_TRUE(session.command(R"(script isenabled {"delayMs":300,"drop":true,"times":1})"));
    bool enabled = true;
    auto call =
        std::async(std::launch::async, [&] { return crop_assist_is_enabled(kCam1, &enabled); });
    EXPECT_EQ(returnsWithin(call, 10000, "the call"), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_FALSE(enabled);
    EXPECT_TRUE(onlyLostConnectionLine(log, "failed to get feature status"));
    EXPECT_FALSE(crop_assist_is_initialized());

    log.clear();
    TellanMode mode = TELLAN_MODE_OFF;
    EXPECT_EQ(crop_assist_get_mode(kCam1, &mode), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_TRUE(testsupport::onlyCriticalLine(
        log, "Omnivue API:failed to get current mode: Server disconnected"));

    // The service runs on, so telling the loss from a crash must not wait for its end: at the
    // former 200 ms per failing call, these would take 20 s.
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(crop_assist_get_mode(kCam1, &mode), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_LT(clock.elapsed(), 5000);

    // The callback channel is a connection of its own and goes on working.
    ASSERT_TRUE(session.command("arrive AFTER"));
    EXPECT_TRUE(notices.waitFor("+AFTER"));
    log.clear();
    EXPECT_TRUE(session.exitCleanly());
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
}

TEST_F(FaultMatrix, GarbageAndTruncatedRepliesGive100AndTheStreamStaysInStep) {
    const std::vector<std::string> replies = {
        "\x01\x02 not json \x7f",
        R"({"code":0,"err":"","reply":tr)",
        R"({"code":0,"err":"","reply":true}trailing)",
    };
    for (const std::string& raw : replies) {
        SCOPED_TRACE(raw);
        QJsonParseError error;
        QJsonDocument::fromJson(QByteArray::fromStdString(raw), &error);
        ASSERT_NE(error.error, QJsonParseError::NoError);
        const QJsonObject script{{"raw", QString::fromStdString(raw)}, {"times", 1}};
        ASSERT_TRUE(
            session.command("script isenabled " +
                            QJsonDocument(script).toJson(QJsonDocument::Compact).toStdString()));
        log.clear();
        bool enabled = true;
        EXPECT_EQ(crop_assist_is_enabled(kCam1, &enabled), CROP_ASSIST_FAILURE);
        EXPECT_FALSE(enabled);
        EXPECT_TRUE(testsupport::onlyCriticalLine(
            log, "Omnivue API:failed to get feature status: " + error.errorString().toStdString()));
        // The bad frame was consumed whole: the next reply belongs to the next request.
        ASSERT_EQ(crop_assist_is_enabled(kCam1, &enabled), 0) << log.dump();
        EXPECT_TRUE(enabled);
    }

    // A frame cut off without its terminator is waited for until the connection goes.
    ASSERT_TRUE(session.command(
        R"(script isenabled {"raw":"{\"code\":0,\"err\":\"\",\"re","rawNoNul":true,"times":1})"));
    ASSERT_TRUE(session.command("clear"));
    auto call = std::async(std::launch::async, [] {
        bool enabled = false;
        return crop_assist_is_enabled(kCam1, &enabled);
    });
    ASSERT_TRUE(waitForRequests(session, "isenabled", 1));
    log.clear();
    ASSERT_TRUE(session.command("drop request"));
    EXPECT_EQ(returnsWithin(call, 10000, "the call"), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_TRUE(onlyLostConnectionLine(log, "failed to get feature status"));
}

// Far more than the reader may buffer, and more than fits on the control channel: the script
// comes with the service's scenario file.
TEST(FaultMatrixOversized, AnOversizedReplyGives100WithinTheBufferLimit) {
    constexpr int kMiB = 1024 * 1024;
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QFile scenario(folder.filePath(QStringLiteral("oversized.json")));
    ASSERT_TRUE(scenario.open(QIODevice::WriteOnly));
    scenario.write(R"({"commands":{"gmode":{"raw":")");
    scenario.write(QByteArray(64 * kMiB, 'x'));
    scenario.write(R"(","times":1}}})");
    scenario.close();
    testsupport::ScopedEnv file("OMNIVUE_SCENARIO", scenario.fileName().toStdString());

    LogCapture log;
    LibrarySession session("");  // no inline scenario: the file's is used
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    ASSERT_TRUE(testsupport::resetPeakRss());
    const testsupport::ProcessResources before = testsupport::processResources();
    TellanMode mode = TELLAN_MODE_OFF;
    EXPECT_EQ(crop_assist_get_mode(kCam1, &mode), CROP_ASSIST_FAILURE);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    EXPECT_TRUE(testsupport::onlyCriticalLine(
        log, "Omnivue API:failed to get current mode: Too much unstructured data from server"));
    // Let the rest of the reply arrive, as it would while the host goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const testsupport::ProcessResources after = testsupport::processResources();
    // The reader's 20 MiB limit, and some room for the rest of the process.
    if (testsupport::kResidentMemoryMeasurable) {
        EXPECT_LT(after.peakRssKiB - before.rssKiB, 24 * 1024)
            << "before: " << testsupport::describe(before)
            << "; after: " << testsupport::describe(after);
    }
    EXPECT_TRUE(session.exitCleanly());
}

// A stalled service ignores the polite request to end; exit kills it after its wait and
// returns well within the bound on the API thread's own stop.
TEST_F(FaultMatrix, ExitEndsAStalledServiceWithinItsWaits) {
    ASSERT_TRUE(session.command("stall 60000"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_LT(clock.elapsed(), 10000) << log.dump();
    EXPECT_EQ(testsupport::waitForNoChildProcess(testsupport::serviceProcessName(), 5000), 0);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

namespace {

// A connected callback that stays inside until the test lets it go.
struct CallbackGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    bool left = false;

    static CallbackGate& instance() {
        static CallbackGate gate;
        return gate;
    }
    static void connected(const char*) {
        CallbackGate& gate = instance();
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.entered = true;
        gate.changed.notify_all();
        gate.changed.wait(lock, [&] { return gate.open; });
        gate.left = true;
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool hasLeft() {
        std::lock_guard<std::mutex> lock(mutex);
        return left;
    }
};

}  // namespace

TEST_F(FaultMatrix, ExitWaitsForABlockedCallbackAndEndsOnceItReturns) {
    CallbackGate& gate = CallbackGate::instance();
    ASSERT_EQ(crop_assist_set_device_connected_callback(&CallbackGate::connected), 0);
    ASSERT_TRUE(session.command("arrive HOLD"));
    ASSERT_TRUE(gate.waitEntered());

    // Exit runs on this thread, which made the library's Qt application; another thread looks
    // on and lets the callback go.
    std::atomic<bool> exited{false};
    auto releaser = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const bool stillWaiting = !exited.load();
        gate.release();
        return stillWaiting;
    });
    EXPECT_EQ(crop_assist_exit(), 0);
    exited = true;
    EXPECT_TRUE(releaser.get()) << "exit went on while the listener was still inside the callback";
    EXPECT_TRUE(gate.hasLeft());
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
}

// SIGKILL leaves the announcement record behind, with nobody to remove it. Neither an attach
// nor the next service may take it for a live one.
TEST(FaultMatrixKilled, AKilledServiceLeavesNothingThatStopsTheNextOne) {
    LogCapture log;
    const testsupport::IpcObjects baseline = testsupport::ipcObjects();
    {
        StandaloneService killed("{}", testsupport::uniqueControlName("faults"));
        ASSERT_TRUE(killed.ready()) << killed.error();
        killed.process().kill();
        ASSERT_TRUE(killed.process().waitForFinished(5000));
    }
    const testsupport::IpcObjects left = testsupport::ipcAddedSince(baseline, 0);
    ASSERT_FALSE(left.segments.empty()) << "the kill left no record to recover from";

    // On this thread: the library's Qt application must end on the thread that made it.
    EXPECT_EQ(crop_assist_attach(), 1);
    EXPECT_TRUE(testsupport::onlyCriticalLine(
        log, "Cannot start Omnivue Controller: API server not found"));
    {
        StandaloneService next("{}", testsupport::uniqueControlName("faults"));
        ASSERT_TRUE(next.ready()) << next.error();
        ASSERT_EQ(crop_assist_attach(), 0) << log.dump();
        bool enabled = false;
        EXPECT_EQ(crop_assist_is_enabled(kCam1, &enabled), 0) << log.dump();
        EXPECT_EQ(crop_assist_exit(), 0);
    }

    // A service the library started, killed the same way: the crash is reported, and the next
    // init starts a service that publishes its own record.
    {
        LibrarySession session;
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        const std::vector<int> pids =
            testsupport::childProcessIds(testsupport::serviceProcessName());
        ASSERT_EQ(pids.size(), 1u);
        ASSERT_EQ(::kill(pids[0], SIGKILL), 0);
        bool enabled = true;
        EXPECT_EQ(crop_assist_is_enabled(kCam1, &enabled), CROP_ASSIST_SERVICE_CRASHED);
        EXPECT_TRUE(session.exitCleanly());
    }
    log.clear();
    {
        LibrarySession session;
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        bool enabled = false;
        EXPECT_EQ(crop_assist_is_enabled(kCam1, &enabled), 0) << log.dump();
        EXPECT_TRUE(enabled);
        EXPECT_TRUE(session.exitCleanly());
    }
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    const testsupport::IpcObjects added = testsupport::ipcAddedSince(baseline);
    EXPECT_TRUE(added.segments.empty() && added.semaphores.empty()) << testsupport::describe(added);
}
