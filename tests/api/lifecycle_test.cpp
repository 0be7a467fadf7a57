// The lifecycle entry points of the real library against the real stand-in service, in a host
// process without a Qt application of its own: init, attach, exit and is-initialized in turn,
// a failed init and its retry, and a host that never calls exit.
#include "session.h"

#include <QCoreApplication>

using testsupport::LibrarySession;

namespace {
const char kRetaining[] = "Omnivue API: Qt Application not initialized - creating and retaining";
}  // namespace

TEST(Lifecycle, InitAttachExitInTurn) {
    testsupport::LogCapture log;
    EXPECT_FALSE(crop_assist_is_initialized());
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API not loaded"), 1) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);

    log.clear();
    LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API Initialized"), 1) << log.dump();
    EXPECT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_TRUE(crop_assist_is_initialized());
    EXPECT_EQ(crop_assist_init(), 0);
    EXPECT_EQ(crop_assist_attach(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Initialized"), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Attached"), 1) << log.dump();
    EXPECT_EQ(testsupport::childProcesses("OmnivueService.exe").size(), 1u);
    // Still in start mode after the attach: a crash of the service is reported as one.
    ASSERT_TRUE(session.command("crash"));
    ASSERT_EQ(testsupport::waitForNoChild("OmnivueService.exe"), 0);
    bool enabled = true;
    EXPECT_EQ(crop_assist_is_enabled("CAM1", &enabled), CROP_ASSIST_SERVICE_CRASHED);
    log.clear();
    EXPECT_FALSE(crop_assist_is_initialized());
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
    EXPECT_TRUE(session.exitCleanly());
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST(Lifecycle, AFailedInitLeavesNothingRunningAndMayBeRetried) {
    testsupport::LogCapture log;
    {
        LibrarySession failed(R"({"startup":{"exitCode":2}})");
        EXPECT_EQ(failed.initResult(), 2);
        EXPECT_TRUE(testsupport::onlyCriticalLine(
            log,
            "Cannot start Omnivue Controller: Omnivue Service failed to start with error: "
            "INIT_OTHER_EXISTS"));
        EXPECT_FALSE(crop_assist_is_initialized());

        // The application and the thread object are reused: no second application is made.
        log.clear();
        EXPECT_EQ(crop_assist_init(), 0) << log.dump();
        EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 0) << log.dump();
        EXPECT_TRUE(crop_assist_is_initialized());
        EXPECT_TRUE(failed.exitCleanly());
    }
}

// A host that brings its own Qt application: the library uses it and leaves it alone.
TEST(Lifecycle, AHostsOwnApplicationIsUsedAndLeftAlone) {
    int argc = 1;
    char name[] = "host";
    char* argv[] = {name, nullptr};
    QCoreApplication host(argc, argv);
    testsupport::LogCapture log;
    LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 0) << log.dump();
    EXPECT_TRUE(session.exitCleanly());
    EXPECT_EQ(QCoreApplication::instance(), &host);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
}

// A host that never calls exit: the library is released as the process ends. Where the
// library's threads still run then (not on Windows, which ends them first), the listener's last
// line shows a clean shutdown; everywhere the service it started ends with it.
TEST(Lifecycle, ReturningFromMainWithoutExitShutsDownCleanly) {
    testsupport::ScopedEnv rules("QT_LOGGING_RULES", "*.debug=true");
    testsupport::ScopedEnv console("QT_FORCE_STDERR_LOGGING", "1");  // not the Windows debugger
    testsupport::ScopedEnv scenario("OMNIVUE_SCENARIO_JSON", "{}");
    const std::set<long> services = testsupport::processesNamed("OmnivueService");
    const auto run = testsupport::runChild(CA_UNLOAD_HOST, {"--no-exit"});
    EXPECT_FALSE(run.crashed) << run.describe();
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_NE(run.err.find("Omnivue API Initialized\n"), std::string::npos) << run.describe();
#ifndef _WIN32
    EXPECT_NE(run.err.find("Callback socket disconnected\n"), std::string::npos) << run.describe();
#endif
    EXPECT_EQ(run.err.find("API thread"), std::string::npos) << run.describe();  // no wait failed
    std::set<long> left = testsupport::processesNamed("OmnivueService");
    for (int waited = 0; left != services && waited < 1000; waited += 20) {
        QThread::msleep(20);
        left = testsupport::processesNamed("OmnivueService");
    }
    EXPECT_EQ(left, services) << "the service outlived its host by a second";
}
