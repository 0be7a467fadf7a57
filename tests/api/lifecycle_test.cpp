// The lifecycle entry points of the real library against the real stand-in service, in a host
// process that has no Qt application of its own.
#include "crop_assist.h"
#include "hostprocess.h"
#include "logcapture.h"
#include "servicecontrol.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

#include <string>

using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::ServiceControl;

namespace {

const char kService[] = "OmnivueService.exe";
const char kRetaining[] = "Omnivue API: Qt Application not initialized - creating and retaining";

std::string uniqueControlName() {
    return "OmnivueControl_lifecycle_" + QUuid::createUuid().toString(QUuid::Id128).toStdString();
}

}  // namespace

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        crop_assist_exit();
        EXPECT_EQ(testsupport::waitForNoChildProcess(kService, 5000), 0);
    }
    LogCapture log;
};

TEST_F(Lifecycle, ExitAndIsInitializedWithoutInit) {
    EXPECT_FALSE(crop_assist_is_initialized());
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API not loaded"), 2) << log.dump();
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST_F(Lifecycle, InitTwiceAttachAfterInitThenExitAndInitAgain) {
    const std::string control = uniqueControlName();
    ScopedEnv controlName("OMNIVUE_CONTROL", control);

    ASSERT_EQ(crop_assist_init(), 0) << log.dump();
    EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API Initialized"), 1) << log.dump();
    EXPECT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_TRUE(crop_assist_is_initialized());
    EXPECT_EQ(testsupport::childProcessCount(kService), 1);

    log.clear();
    EXPECT_EQ(crop_assist_init(), 0);
    EXPECT_EQ(crop_assist_attach(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Initialized"), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue already Attached"), 1) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API Initialized"), 0) << log.dump();
    EXPECT_EQ(testsupport::childProcessCount(kService), 1);

    // Still in start mode after the attach: a crash of the service is reported as one.
    ServiceControl(control).command("crash");
    ASSERT_EQ(testsupport::waitForNoChildProcess(kService, 5000), 0);
    bool enabled = true;
    EXPECT_EQ(crop_assist_is_enabled("CAM1", &enabled), CROP_ASSIST_SERVICE_CRASHED) << log.dump();
    log.clear();
    EXPECT_FALSE(crop_assist_is_initialized());
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();

    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_FALSE(crop_assist_is_initialized());

    log.clear();
    ASSERT_EQ(crop_assist_init(), 0) << log.dump();
    EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 1) << log.dump();
    EXPECT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_TRUE(crop_assist_is_initialized());
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(testsupport::waitForNoChildProcess(kService, 5000), 0);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST_F(Lifecycle, IsInitializedTurnsFalseWhenTheRequestConnectionDrops) {
    const std::string control = uniqueControlName();
    ScopedEnv controlName("OMNIVUE_CONTROL", control);
    ASSERT_EQ(crop_assist_init(), 0) << log.dump();
    ASSERT_TRUE(crop_assist_is_initialized());
    ServiceControl(control).command("drop request");
    bool connected = true;
    for (int i = 0; i < 50 && connected; ++i) {
        connected = crop_assist_is_initialized();
        if (connected)
            QThread::msleep(100);
    }
    EXPECT_FALSE(connected);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(Lifecycle, FailedInitLeavesNothingRunningAndMayBeRetried) {
    {
        ScopedEnv scenario("OMNIVUE_SCENARIO_JSON", R"({"startup":{"exitCode":2}})");
        EXPECT_EQ(crop_assist_init(), 2);
    }
    EXPECT_EQ(log.count(QtCriticalMsg,
                        "Cannot start Omnivue Controller: Omnivue Service failed to start with "
                        "error: INIT_OTHER_EXISTS"),
              1)
        << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API Initialized"), 0) << log.dump();
    log.clear();
    EXPECT_FALSE(crop_assist_is_initialized());
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_EQ(testsupport::childProcessCount(kService), 0);

    // The application and the thread object are reused: no second application is made.
    ASSERT_EQ(crop_assist_init(), 0) << log.dump();
    EXPECT_EQ(log.count(QtInfoMsg, kRetaining), 0) << log.dump();
    EXPECT_TRUE(crop_assist_is_initialized());
}

// A host that never calls exit: the library is released when the process ends (where it cannot
// be unloaded earlier). The listener's last line shows that the controller was shut down while
// the process still ran; without the release the process would just end around it.
TEST(LifecycleUnload, ReturningFromMainWithoutExitShutsDownCleanly) {
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(CA_UNLOAD_HOST),
               {QStringLiteral(CA_LIBRARY_DIR "/libcrop_assist.so")});
    ASSERT_TRUE(host.waitForStarted(10000));
    ASSERT_TRUE(host.waitForFinished(30000));
    const QByteArray log = host.readAllStandardError();
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit) << log.toStdString();
    EXPECT_EQ(host.exitCode(), 0) << log.toStdString();
    EXPECT_TRUE(log.contains("Omnivue API Initialized\n")) << log.toStdString();
    EXPECT_TRUE(log.contains("Callback socket disconnected\n")) << log.toStdString();
    EXPECT_FALSE(log.contains("API thread")) << log.toStdString();  // no wait failed
}
