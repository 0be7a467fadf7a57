// Init, attach, exit and is-initialized against the stand-in, with and without a host's app.
#include "session.h"

#include <QCoreApplication>

using testsupport::LibrarySession;

const char kRetaining[] = "Omnivue API: Qt Application not initialized - creating and retaining";

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

// Released at process end: the listener ends cleanly (not seen on Windows), the service too.
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
    for (int waited = 0; testsupport::processesNamed("OmnivueService") != services; waited += 20) {
        ASSERT_LT(waited, 1000) << "the service outlived its host by a second";
        QThread::msleep(20);
    }
}
