// The callback channel: a controller's listener thread against an in-test callback server that
// plays the service's side, with host callbacks that record what they are given.
#include "apicontroller.h"
#include "controllerpeer.h"
#include "coreapplication.h"
#include "logcapture.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QUuid>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quarn::tellan_api;
using testsupport::LogCapture;
using Peer = ApiControllerTestPeer;

namespace {

// What the host callbacks saw, in order: "+id", "-id" or "<code>:text".
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    int connectedDelayMs = 0;
    bool connectedRunning = false;

    void add(std::string call) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::move(call));
        }
        changed.notify_all();
    }
    bool waitForCalls(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return calls.size() >= n; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

Recorder* recorder = nullptr;

void onConnected(const char* device) {
    recorder->add("+" + std::string(device));
    if (recorder->connectedDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(recorder->connectedDelayMs));
        recorder->add("returned");
    }
}
void onDisconnected(const char* device) {
    recorder->add("-" + std::string(device));
}
void onEvent(int event, const char* text) {
    recorder->add(std::to_string(event) + ":" + text);
}

}  // namespace

class CallbackChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsupport::ensureCoreApplication(); }

    void SetUp() override {
        recorder = &record;
        suffix = QUuid::createUuid().toString();
        ASSERT_TRUE(server.listen(QStringLiteral("ZuzoRerazuO_") + suffix))
            << server.errorString().toStdString();
        controller = std::make_unique<ApiController>();
        controller->setDeviceConnectedCallback(&onConnected);
        controller->setDeviceDisconnectedCallback(&onDisconnected);
        controller->setDeviceEventCallback(&onEvent);
        ApiController::listenerRunning.exchange(true);
        Peer::listenerThread(*controller) =
            std::thread(ListenForCallbacks, controller.get(), suffix);
        ASSERT_TRUE(server.waitForNewConnection(5000));
        service = server.nextPendingConnection();
        ASSERT_NE(service, nullptr);
    }

    void TearDown() override {
        controller.reset();  // stops and joins the listener
        recorder = nullptr;
    }

    void send(const QByteArray& bytes) {
        service->write(bytes);
        service->flush();
        service->waitForBytesWritten(1000);
    }

    std::deque<QByteArray> pending() {
        std::lock_guard<std::recursive_mutex> lock(Peer::devicesMutex(*controller));
        return Peer::pendingDevices(*controller);
    }

    LogCapture log;
    Recorder record;
    QString suffix;
    QLocalServer server;
    QLocalSocket* service = nullptr;
    std::unique_ptr<ApiController> controller;
};

TEST_F(CallbackChannel, JoinsSplitLinesAndKeepsTheOrderWithinOneRead) {
    send("0CA");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(record.snapshot().empty());
    send("M1\n");
    ASSERT_TRUE(record.waitForCalls(1));
    send("0CAM2\n2hello world\n");
    ASSERT_TRUE(record.waitForCalls(3));
    EXPECT_EQ(record.snapshot(), (std::vector<std::string>{"+CAM1", "+CAM2", "2:hello world"}));
    EXPECT_EQ(pending(), (std::deque<QByteArray>{"CAM1", "CAM2"}));
    EXPECT_EQ(log.count(QtDebugMsg, "API: new device \"CAM1\""), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "API: new device \"CAM2\""), 1) << log.dump();
}

TEST_F(CallbackChannel, WarnsAboutMalformedLinesAndChangesNothing) {
    send("\n0\n5x\nAbc\n");
    send("3sync\n");  // handled after the lines above, so they have been looked at
    ASSERT_TRUE(record.waitForCalls(1));
    EXPECT_EQ(record.snapshot(), std::vector<std::string>{"3:sync"});
    EXPECT_TRUE(pending().empty());
    const std::vector<std::string> warnings = log.at(QtWarningMsg);
    ASSERT_EQ(warnings.size(), 4u) << log.dump();
    for (const std::string& w : warnings)
        EXPECT_EQ(w.rfind("Received unknown API callback:", 0), 0u) << w;
    EXPECT_EQ(warnings[2], "Received unknown API callback: 5 x");
    EXPECT_EQ(warnings[3], "Received unknown API callback: A bc");
}

TEST_F(CallbackChannel, PassesPayloadsOnUnchangedWithEventCodes) {
    send("0CAM\r\n2two\n3three\n4four \r\n");
    ASSERT_TRUE(record.waitForCalls(4));
    EXPECT_EQ(record.snapshot(),
              (std::vector<std::string>{"+CAM\r", "2:two", "3:three", "4:four \r"}));
    EXPECT_EQ(pending(), std::deque<QByteArray>{"CAM\r"});
}

TEST_F(CallbackChannel, LossRemovesOneEntryAndIsSilentForUnknownDevices) {
    {
        std::lock_guard<std::recursive_mutex> lock(Peer::devicesMutex(*controller));
        Peer::devices(*controller)["KNOWN"] = DeviceRecord{"KNOWN", "n", "i"};
    }
    send("0TWICE\n0TWICE\n1NEVER\n1TWICE\n1KNOWN\n");
    ASSERT_TRUE(record.waitForCalls(4));
    EXPECT_EQ(record.snapshot(),
              (std::vector<std::string>{"+TWICE", "+TWICE", "-TWICE", "-KNOWN"}));
    EXPECT_EQ(pending(), std::deque<QByteArray>{"TWICE"});
    EXPECT_TRUE(Peer::devices(*controller).empty());
    EXPECT_EQ(log.count(QtDebugMsg, "API: lost device \"TWICE\""), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "API: lost device \"KNOWN\""), 1) << log.dump();
    EXPECT_EQ(log.countContaining(QtDebugMsg, "NEVER"), 0) << log.dump();
}

TEST_F(CallbackChannel, UnsetCallbacksStillUpdateTheRegistry) {
    controller->setDeviceConnectedCallback(nullptr);
    controller->setDeviceEventCallback(nullptr);
    send("0GONE\n0STAYS\n2ignored\n1GONE\n");
    ASSERT_TRUE(record.waitForCalls(1));
    EXPECT_EQ(record.snapshot(), std::vector<std::string>{"-GONE"});
    EXPECT_EQ(pending(), std::deque<QByteArray>{"STAYS"});
}

TEST_F(CallbackChannel, StoppingWaitsForARunningCallback) {
    record.connectedDelayMs = 1500;
    send("0SLOW\n");
    ASSERT_TRUE(record.waitForCalls(1));
    controller.reset();
    EXPECT_EQ(record.snapshot(), (std::vector<std::string>{"+SLOW", "returned"}));
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
}

TEST_F(CallbackChannel, StopsWithinASecondWhileTheServiceStaysSilent) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the listener is waiting
    QElapsedTimer stopwatch;
    stopwatch.start();
    controller.reset();
    EXPECT_LT(stopwatch.elapsed(), 2500);
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
    EXPECT_EQ(service->state(), QLocalSocket::ConnectedState);  // the service closed nothing
}

TEST_F(CallbackChannel, EndsWhenTheServiceClosesTheSocket) {
    service->disconnectFromServer();
    for (int i = 0; i < 50 && log.count(QtDebugMsg, "Callback socket disconnected") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(CallbackChannel, ALineWithoutEndBeyondTheLimitStopsTheListener) {
    // Lines before it are still handled; then the listener holds no more than the limit and a
    // read, and ends instead of growing without bound.
    service->write("2before\n");
    service->write(QByteArray(20971520 + 1, 'x'));
    QElapsedTimer clock;
    clock.start();
    while (service->bytesToWrite() > 0 && clock.elapsed() < 10000)
        service->waitForBytesWritten(100);
    ASSERT_TRUE(record.waitForCalls(1));
    for (int i = 0; i < 100 && log.count(QtDebugMsg, "Callback socket disconnected") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 1) << log.dump();
    EXPECT_EQ(log.countContaining(QtCriticalMsg, "Callback line longer than 20971520 bytes"), 1)
        << log.dump();
    EXPECT_EQ(record.snapshot(), std::vector<std::string>{"2:before"});
}

TEST(CallbackListener, ReportsAMissingCallbackServerOnly) {
    LogCapture log;
    ApiController controller;
    ApiController::listenerRunning.exchange(true);
    ListenForCallbacks(&controller, QUuid::createUuid().toString());
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_EQ(critical[0].rfind("Cannot connect to Omnivue API callback: ", 0), 0u) << critical[0];
    EXPECT_EQ(log.count(QtDebugMsg, "Callback socket disconnected"), 0) << log.dump();
}

TEST(CallbackListener, WaitsForACallbackServerThatAppearsLate) {
    testsupport::ensureCoreApplication();
    LogCapture log;
    const QString suffix = QUuid::createUuid().toString();
    auto controller = std::make_unique<ApiController>();
    ApiController::listenerRunning.exchange(true);
    Peer::listenerThread(*controller) = std::thread(ListenForCallbacks, controller.get(), suffix);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QLocalServer server;
    ASSERT_TRUE(server.listen(QStringLiteral("ZuzoRerazuO_") + suffix));
    EXPECT_TRUE(server.waitForNewConnection(5000));
    controller.reset();
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}
