// The runtime without a service: the retained application and the thread accessors around a
// controller that was installed without start-up, and runOnApiThread carrying values and
// exceptions between a host thread and an executor thread.
#include "runonapithread.h"
#include "apicontroller.h"
#include "apithread.h"
#include "controllerpeer.h"
#include "errors.h"
#include "functorexecutor.h"
#include "logcapture.h"
#include "platform.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace quarn::tellan_api;
using testsupport::LogCapture;

namespace {

void installController() {
    ApiControllerTestPeer::install(std::make_unique<ApiController>());
}

void removeController() {
    ApiControllerTestPeer::install(nullptr);
}

template <class Call>
void expectApiFailure(Call&& call, int32_t code, const std::string& text) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << code << " " << text;
    } catch (const APIException& e) {
        EXPECT_EQ(e.code, code);
        EXPECT_EQ(std::string(e.what()), text);
    }
}

}  // namespace

// Needs a process without a Qt application (the fixtures below take theirs down again).
TEST(RuntimeStart, RetainsAnApplicationAndStartsNothingWhileAControllerExists) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    expectApiFailure([] { currentApiThread(); }, 99, "Missing api thread");
    EXPECT_FALSE(apiLoaded());
    installController();
    LogCapture log;

    EXPECT_EQ(startApi(), 0);
    EXPECT_EQ(log.count(QtInfoMsg,
                        "Omnivue API: Qt Application not initialized - creating and retaining"),
              1)
        << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Initialized"), 1) << log.dump();
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_EQ(QCoreApplication::arguments().value(0).toStdString(), platform::executablePath());
    EXPECT_TRUE(apiLoaded());

    // The thread object exists but never ran: no executor to hand out.
    ApiThread* thread = currentApiThread();
    ASSERT_NE(thread, nullptr);
    expectApiFailure([thread] { apiThreadExecutor(thread); }, 99, "Missing thread executor");

    log.clear();
    stopApi();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    expectApiFailure([] { currentApiThread(); }, 99, "Missing api thread");
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();  // a stopped thread waits for nothing
    EXPECT_TRUE(apiLoaded());                                  // the controller is still there
    removeController();
    EXPECT_FALSE(apiLoaded());
}

TEST(RuntimeStart, LeavesTheHostsApplicationAlone) {
    int argc = 1;
    char name[] = "host";
    char* argv[] = {name, nullptr};
    QCoreApplication host(argc, argv);
    installController();
    LogCapture log;

    EXPECT_EQ(startApi(), 0);
    EXPECT_EQ(log.countContaining(QtInfoMsg, "Qt Application not initialized"), 0) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), &host);
    stopApi();
    EXPECT_EQ(QCoreApplication::instance(), &host);
    removeController();
}

// An executor on a thread of its own stands in for the API thread.
class RunOnApiThread : public ::testing::Test {
protected:
    void SetUp() override {
        application = std::make_unique<QCoreApplication>(argc, argv);
        worker.start();
        executor = std::make_unique<FunctorExecutor>();
        executor->moveToThread(&worker);
        installController();
        // Without the registration a queued call would be dropped and the caller would hang.
        ASSERT_NE(QMetaType::type("FunctorExecutor::Functor"), QMetaType::UnknownType);
    }
    void TearDown() override {
        removeController();
        // The executor lives on the worker: delete it there, then end the loop.
        FunctorExecutor* raw = executor.release();
        QObject::connect(raw, &QObject::destroyed, &worker, &QThread::quit, Qt::DirectConnection);
        raw->deleteLater();
        ASSERT_TRUE(worker.wait(10000));
        application.reset();
    }

    bool onWorker() const { return QThread::currentThread() == &worker; }

    int argc = 1;
    char name[5] = "test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> application;
    QThread worker;
    std::unique_ptr<FunctorExecutor> executor;
};

TEST_F(RunOnApiThread, CarriesEveryResultTypeAndItsArguments) {
    FunctorExecutor* e = executor.get();
    const char* device = "CAM1";
    ApiController* installed = ApiController::instance();

    EXPECT_TRUE(runOnApiThread<bool>(e, [&](ApiController* c) { return c == installed; }));
    EXPECT_TRUE(runOnApiThread<bool>(
        e, [&](ApiController*, const char* d) { return d == device && onWorker(); }, device));
    EXPECT_FALSE(runOnApiThread<bool>(
        e, [](ApiController*, const char*, TellanMode m) { return m != TELLAN_MODE_SPEAKER; },
        device, TELLAN_MODE_SPEAKER));
    EXPECT_FALSE(runOnApiThread<bool>(e, &ApiController::isConnected));

    bool ranOnWorker = false;
    runOnApiThread<void>(
        e, [&](ApiController*, const char*, bool b) { ranOnWorker = b && onWorker(); }, device,
        true);
    EXPECT_TRUE(ranOnWorker);
    float seenPan = 0, seenTilt = 0;
    runOnApiThread<void>(
        e,
        [&](ApiController*, const char*, float p, float t) {
            seenPan = p;
            seenTilt = t;
        },
        device, 1.5f, -2.25f);
    EXPECT_EQ(seenPan, 1.5f);
    EXPECT_EQ(seenTilt, -2.25f);

    EXPECT_EQ(
        runOnApiThread<TellanMode>(
            e, [](ApiController*, const char*) { return static_cast<TellanMode>(-7); }, device),
        static_cast<TellanMode>(-7));
    const auto home = runOnApiThread<std::tuple<float, float>>(
        e, [](ApiController*, const char*) { return std::make_tuple(0.25f, -0.5f); }, device);
    EXPECT_EQ(home, std::make_tuple(0.25f, -0.5f));
    const TellanDeviceInfo info = runOnApiThread<TellanDeviceInfo>(
        e,
        [](ApiController*, const char* sn) {
            return TellanDeviceInfo{sn, "name", "id"};
        },
        device);
    EXPECT_EQ(info.sn, device);
    EXPECT_STREQ(info.id, "id");

    // Sequences come back as pointers into storage that stays where it is.
    static const std::vector<TellanDeviceInfo> devices{{"a", "b", "c"}, {"d", "e", "f"}};
    EXPECT_EQ(runOnApiThread<const std::vector<TellanDeviceInfo>*>(
                  e, [](ApiController*) { return &devices; }),
              &devices);
    static const std::vector<TellanROI> rois{{1, 2, 3, 4}};
    const TellanFrame frame{"px", 2, 1, 1};
    EXPECT_EQ(runOnApiThread<const std::vector<TellanROI>*>(
                  e,
                  [&](ApiController*, const char*, const TellanFrame* f) {
                      return f == &frame ? &rois : nullptr;
                  },
                  device, &frame),
              &rois);
}

TEST_F(RunOnApiThread, RethrowsTheOperationsExceptionWithItsType) {
    FunctorExecutor* e = executor.get();
    expectApiFailure(
        [e] {
            runOnApiThread<bool>(e, [](ApiController*) -> bool { throw APIException(1, "gone"); });
        },
        1, "gone");
    try {
        runOnApiThread<void>(e, [](ApiController*) { throw StartupException(97, "crashed"); });
        ADD_FAILURE() << "no exception";
    } catch (const APIException&) {
        ADD_FAILURE() << "a StartupException arrived as an APIException";
    } catch (const StartupException& x) {
        EXPECT_EQ(x.code, 97);
        EXPECT_STREQ(x.what(), "crashed");
    }
    try {
        runOnApiThread<TellanMode>(
            e, [](ApiController*) -> TellanMode { throw std::runtime_error("plain"); });
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& x) {
        EXPECT_EQ(dynamic_cast<const APIException*>(&x), nullptr);
        EXPECT_STREQ(x.what(), "plain");
    }
    try {
        runOnApiThread<void>(e, [](ApiController*) { throw 42; });
        ADD_FAILURE() << "no exception";
    } catch (int value) {
        EXPECT_EQ(value, 42);
    }
}

TEST_F(RunOnApiThread, FailsWith99WithoutAController) {
    removeController();
    bool called = false;
    expectApiFailure(
        [&] { runOnApiThread<void>(executor.get(), [&](ApiController*) { called = true; }); }, 99,
        "Omnivue API not initialized");
    EXPECT_FALSE(called);
}
