// Start-up and attach failures of the real library against scripted stand-in services: each
// failure's result code and the exact text of its critical line.
#include "crop_assist.h"
#include "hostprocess.h"
#include "logcapture.h"
#include "servicecontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::ServiceControl;
using testsupport::StandaloneService;

namespace {

const char kService[] = "OmnivueService.exe";
const char kPrefix[] = "Cannot start Omnivue Controller: ";

}  // namespace

class Startup : public ::testing::Test {
protected:
    void TearDown() override {
        crop_assist_exit();
        EXPECT_EQ(testsupport::waitForNoChildProcess(kService, 5000), 0);
    }

    // Runs init with `scenario` and checks the result and the one critical line.
    void expectInitFailure(const std::string& scenario, int code, const std::string& message) {
        {
            ScopedEnv env("OMNIVUE_SCENARIO_JSON", scenario);
            EXPECT_EQ(crop_assist_init(), code) << log.dump();
        }
        const std::vector<std::string> critical = log.at(QtCriticalMsg);
        ASSERT_EQ(critical.size(), 1u) << log.dump();
        EXPECT_EQ(critical[0], kPrefix + message);
        EXPECT_FALSE(crop_assist_is_initialized());
        // The service is gone before init returns.
        EXPECT_EQ(testsupport::childProcessCount(kService), 0);
    }

    LogCapture log;
};

TEST_F(Startup, ServiceExitCodes) {
    expectInitFailure(R"({"startup":{"exitCode":0}})", 1,
                      "Omnivue Service successfully failed to start");
    log.clear();
    expectInitFailure(R"({"startup":{"exitCode":2}})", 2,
                      "Omnivue Service failed to start with error: INIT_OTHER_EXISTS");
    log.clear();
    expectInitFailure(R"({"startup":{"exitCode":5}})", 5,
                      "Omnivue Service failed to start with error: StartupResult(5)");
}

TEST_F(Startup, ExitCodeAboveTheResultRange) {
    {
        ScopedEnv env("OMNIVUE_SCENARIO_JSON", R"({"startup":{"exitCode":101}})");
        EXPECT_EQ(crop_assist_init(), 1);
    }
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    const std::string start =
        std::string(kPrefix) + "Omnivue Service failed to start with error: 101 (";
    EXPECT_EQ(critical[0].rfind(start, 0), 0u) << critical[0];
    EXPECT_GT(critical[0].size(), start.size() + 1) << "no process error text";
    EXPECT_EQ(critical[0].back(), ')');
}

TEST_F(Startup, CrashAtStart) {
    expectInitFailure(R"({"startup":{"crash":true}})", 97, "Omnivue service crashed on start");
}

TEST_F(Startup, WrongHandshakeAnswer) {
    expectInitFailure(R"({"startup":{"handshakeReply":"OK"}})", 1, "API server handshake failed ");
}

TEST_F(Startup, AttachWithoutAService) {
    EXPECT_EQ(crop_assist_attach(), 1);
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_EQ(critical[0], std::string(kPrefix) + "API server not found");
    EXPECT_EQ(log.count(QtDebugMsg, "."), 0) << "no connection is tried";
}

TEST_F(Startup, AttachRejectedByANonBooleanAnswer) {
    StandaloneService service(R"({"ahshReply":1})");
    ASSERT_TRUE(service.ready()) << service.error();
    EXPECT_EQ(crop_assist_attach(), 1);
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_EQ(critical[0],
              std::string(kPrefix) + "Failed handshake with API server: server rejected client");
}

TEST_F(Startup, AttachToAStandaloneServiceAndLeaveItRunning) {
    StandaloneService service;
    ASSERT_TRUE(service.ready()) << service.error();
    ASSERT_EQ(crop_assist_attach(), 0) << log.dump();
    EXPECT_TRUE(crop_assist_is_initialized());
    EXPECT_EQ(testsupport::childProcessCount(kService), 1);  // the standalone one only
    bool enabled = false;
    EXPECT_EQ(crop_assist_is_enabled("CAM1", &enabled), 0) << log.dump();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(service.process().state(), QProcess::Running);
    // Exit closed both of the library's connections.
    std::string clients;
    for (int i = 0; i < 40 && clients != "ok 0 0"; ++i) {
        clients = service.control().command("clients");
        if (clients != "ok 0 0")
            QThread::msleep(50);
    }
    EXPECT_EQ(clients, "ok 0 0");
}

// The library in a folder without the service: loaded as a copy of its own.
TEST(StartupMissingService, ReportsTheMissingExecutable) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString copy = folder.filePath(QStringLiteral("libcrop_assist.so"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CA_LIBRARY_DIR "/libcrop_assist.so"), copy));
    // Never closed: Qt keeps pointers into the copy once it has registered its types.
    void* library = ::dlopen(QFile::encodeName(copy).constData(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    using Call = int (*)();
    auto init = reinterpret_cast<Call>(::dlsym(library, "crop_assist_init"));
    auto exit = reinterpret_cast<Call>(::dlsym(library, "crop_assist_exit"));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(exit, nullptr);
    ASSERT_NE(reinterpret_cast<void*>(init), reinterpret_cast<void*>(&crop_assist_init));

    LogCapture log;
    EXPECT_EQ(init(), CROP_ASSIST_NOT_INITIALIZED);
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_EQ(critical[0], std::string(kPrefix) + "Missing OmnivueService.exe");
    EXPECT_EQ(exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
}

// About a minute: the service runs but never serves its request socket.
TEST_F(Startup, SlowServiceThatNeverListensIsGivenUpAfterSixtyAttempts) {
    {
        ScopedEnv env("OMNIVUE_SCENARIO_JSON", R"({"startup":{"neverListen":true}})");
        EXPECT_EQ(crop_assist_init(), 1);
    }
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    const std::string start = std::string(kPrefix) + "Cannot connect to Omnivue API: ";
    EXPECT_EQ(critical[0].rfind(start, 0), 0u) << critical[0];
    EXPECT_GT(critical[0].size(), start.size()) << "no socket error text";
    EXPECT_EQ(log.count(QtDebugMsg, "."), 59) << log.dump();
    EXPECT_EQ(testsupport::childProcessCount(kService), 0);
}
