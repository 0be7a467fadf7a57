// The runtime without a service: the retained application and the thread accessors around a
// controller installed without start-up, and runOnApiThread carrying arguments, results and
// exceptions of every type between a host thread and an executor thread.
#include "runonapithread.h"
#include "apithread.h"
#include "controllerpeer.h"
#include "errors.h"
#include "logcapture.h"
#include "platform.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using namespace quarn::tellan_api;

namespace {

// What a call threw: "<type> <code> <text>", or "none".
template <class Call>
std::string thrown(Call&& call) {
    try {
        call();
    } catch (const APIException& e) {
        return "api " + std::to_string(e.code) + " " + e.what();
    } catch (const StartupException& e) {
        return "startup " + std::to_string(e.code) + " " + e.what();
    } catch (const std::exception& e) {
        return std::string("std ") + e.what();
    } catch (int value) {
        return "int " + std::to_string(value);
    }
    return "none";
}

}  // namespace

// Needs a process without a Qt application; the one it makes is taken down again.
TEST(RuntimeStart, RetainsAnApplicationOrLeavesTheHostsAlone) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_EQ(thrown([] { currentApiThread(); }), "api 99 Missing api thread");
    EXPECT_FALSE(apiLoaded());
    ApiControllerTestPeer::install(std::make_unique<ApiController>());
    testsupport::LogCapture log;
    EXPECT_EQ(startApi(), 0);
    EXPECT_EQ(log.count(QtInfoMsg,
                        "Omnivue API: Qt Application not initialized - creating and retaining"),
              1);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Initialized"), 1) << log.dump();
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_EQ(QCoreApplication::arguments().value(0).toStdString(), platform::executablePath());
    // The thread object exists but never ran: no executor to hand out.
    ApiThread* thread = currentApiThread();
    EXPECT_EQ(thrown([thread] { apiThreadExecutor(thread); }), "api 99 Missing thread executor");
    stopApi();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_TRUE(apiLoaded()) << "the controller is still there";
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();

    int argc = 1;
    char name[] = "host";
    char* argv[] = {name, nullptr};
    {
        QCoreApplication host(argc, argv);
        EXPECT_EQ(startApi(), 0);
        stopApi();
        EXPECT_EQ(QCoreApplication::instance(), &host);
        EXPECT_EQ(log.count(QtInfoMsg, "Qt Application not initialized", true), 1);
    }
    ApiControllerTestPeer::install(nullptr);
    EXPECT_FALSE(apiLoaded());
}

// An executor on a thread of its own stands in for the API thread.
TEST(RunOnApiThread, CarriesArgumentsResultsAndExceptionsWithTheirTypes) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    QThread worker;
    worker.start();
    auto* executor = new FunctorExecutor;
    executor->moveToThread(&worker);
    ApiControllerTestPeer::install(std::make_unique<ApiController>());
    ApiController* installed = ApiController::instance();

    const char* device = "CAM1";
    EXPECT_TRUE(runOnApiThread<bool>(
        executor,
        [&](ApiController* c, const char* d, TellanMode m, float p) {
            return c == installed && d == device && m == TELLAN_MODE_SPEAKER && p == -2.25f &&
                   QThread::currentThread() == &worker;
        },
        device, TELLAN_MODE_SPEAKER, -2.25f));
    EXPECT_EQ(
        runOnApiThread<std::string>(executor, [](ApiController*) { return std::string("v"); }),
        "v");
    EXPECT_EQ(thrown([&] {
                  runOnApiThread<bool>(
                      executor, [](ApiController*) -> bool { throw APIException(1, "gone"); });
              }),
              "api 1 gone");
    EXPECT_EQ(thrown([&] {
                  runOnApiThread<void>(
                      executor, [](ApiController*) { throw StartupException(97, "crashed"); });
              }),
              "startup 97 crashed");
    EXPECT_EQ(thrown([&] {
                  runOnApiThread<int>(
                      executor, [](ApiController*) -> int { throw std::runtime_error("plain"); });
              }),
              "std plain");
    EXPECT_EQ(thrown([&] { runOnApiThread<void>(executor, [](ApiController*) { throw 42; }); }),
              "int 42");

    ApiControllerTestPeer::install(nullptr);
    bool called = false;
    EXPECT_EQ(
        thrown([&] { runOnApiThread<void>(executor, [&](ApiController*) { called = true; }); }),
        "api 99 Omnivue API not initialized");
    EXPECT_FALSE(called);
    // The executor lives on the worker: delete it there, then end the loop.
    QObject::connect(executor, &QObject::destroyed, &worker, &QThread::quit, Qt::DirectConnection);
    executor->deleteLater();
    ASSERT_TRUE(worker.wait(10000));
}
