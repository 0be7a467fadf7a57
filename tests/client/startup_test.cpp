// Start-up and attach against scripted stand-ins: failures, sixty paced attempts, no executable;
// the check of the request connection.
#include "controllerpeer.h"
#include "coreapplication.h"
#include "errors.h"
#include "logcapture.h"
#include "platform.h"
#include "service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>

using quarn::tellan_api::ApiController;
using quarn::tellan_api::ApiControllerTestPeer;
using quarn::tellan_api::StartupException;

namespace {

struct Outcome {
    int code = 0;
    std::string text;
    size_t servicesLeft = 0;  // right after the failure, before the controller goes
    qint64 ms = 0;
    int dots = 0;  // the debug line of each attempt after the first
};

Outcome start(bool attach, qint64 attemptMs) {
    testsupport::ensureCoreApplication();
    testsupport::LogCapture log;
    Outcome out;
    QElapsedTimer clock;
    clock.start();
    {
        ApiController controller;
        ApiControllerTestPeer::startAttemptMs(controller) = attemptMs;
        try {
            attach ? controller.attachService() : controller.startService();
        } catch (const StartupException& e) {
            out.code = e.code;
            out.text = e.what();
            out.servicesLeft = testsupport::childProcesses("OmnivueService.exe").size();
        }
        out.ms = clock.elapsed();
    }
    out.dots = log.count(QtDebugMsg, ".");
    return out;
}

}  // namespace

TEST(Startup, StartAndAttachFailures) {
    struct Case {
        const char* scenario;
        const char* standalone;  // attach to a standalone service with this scenario
        int code;
        const char* text;  // the start of it for an exit code outside the result range
    };
    const Case cases[] = {
        {R"({"startup":{"exitCode":0}})", nullptr, 1,
         "Omnivue Service successfully failed to start"},
        {R"({"startup":{"exitCode":100}})", nullptr, 100,
         "Omnivue Service failed to start with error: INIT_UNKNOWN_ERROR"},
        {R"({"startup":{"exitCode":5}})", nullptr, 5,
         "Omnivue Service failed to start with error: StartupResult(5)"},
        {R"({"startup":{"exitCode":101}})", nullptr, 1,
         "Omnivue Service failed to start with error: 101 ("},
        {R"({"startup":{"crash":true}})", nullptr, 97, "Omnivue service crashed on start"},
        {R"({"startup":{"handshakeReply":"OK"}})", nullptr, 1, "API server handshake failed "},
        {nullptr, nullptr, 1, "API server not found"},
        {nullptr, R"({"ahshReply":1})", 1,
         "Failed handshake with API server: server rejected client"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario ? c.scenario : c.standalone ? c.standalone : "no service");
        std::unique_ptr<testsupport::StandaloneService> service;
        if (c.standalone) {
            service = std::make_unique<testsupport::StandaloneService>(c.standalone);
            ASSERT_TRUE(service->ready());
        }
        testsupport::ScopedEnv scenario("OMNIVUE_SCENARIO_JSON", c.scenario ? c.scenario : "{}");
        // A window far longer than any case needs: a service that has ended is not waited for.
        const Outcome out = start(!c.scenario, 20000);
        EXPECT_EQ(out.code, c.code);
        // For an exit code outside the result range the process's error text follows.
        EXPECT_EQ(
            out.text.substr(0, c.text[0] && c.text[strlen(c.text) - 1] == '(' ? strlen(c.text)
                                                                              : std::string::npos),
            c.text);
        EXPECT_EQ(out.servicesLeft, c.standalone ? 1u : 0u) << "a failed start leaves none behind";
        EXPECT_LT(out.ms, 10000);
    }
}

TEST(Startup, AServiceThatNeverListensIsGivenUpAfterSixtyPacedAttempts) {
    testsupport::ScopedEnv scenario("OMNIVUE_SCENARIO_JSON", R"({"startup":{"neverListen":true}})");
    const Outcome out = start(false, 25);
    EXPECT_EQ(out.code, 1);
    EXPECT_EQ(out.text.rfind("Cannot connect to Omnivue API: ", 0), 0u) << out.text;
    EXPECT_GT(out.text.size(), 31u) << "no socket error text";
    EXPECT_EQ(out.dots, 59);
    EXPECT_GE(out.ms, 59 * 25) << "attempts begin a window apart";
    EXPECT_EQ(out.servicesLeft, 0u);
}

// Run again as a copy in a folder of its own, where the service is not beside the code.
TEST(Startup, TheExecutableMissingBesideTheLibrary) {
    testsupport::ensureCoreApplication();
    std::string error;
    const std::string directory = quarn::tellan_api::platform::libraryDirectory(error);
    if (QDir(QString::fromStdString(directory)).exists("OmnivueService.exe")) {
        QTemporaryDir copy;
        const QString program = copy.filePath("startup_test");
        ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), program));
        const QDir here(QCoreApplication::applicationDirPath());
        for (const QString& library :
             here.entryList({"*.dll"}))  // Windows looks beside the program
            ASSERT_TRUE(QFile::copy(here.filePath(library), copy.filePath(library)));
        const auto run = testsupport::runChild(
            program, {"--gtest_filter=Startup.TheExecutableMissingBesideTheLibrary"});
        EXPECT_EQ(run.status, 0) << run.describe();
        EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.describe();
        return;
    }
    const Outcome out = start(false, 25);
    EXPECT_EQ(out.code, 99);
    EXPECT_EQ(out.text, "Missing OmnivueService.exe");
}

// A connection that the service has closed is seen by the next check, though no event loop has
// run on this thread since.
TEST(Startup, AClosedRequestConnectionIsSeenAtOnce) {
    testsupport::ensureCoreApplication();
    QLocalServer server;
    ASSERT_TRUE(server.listen(QString("ca_connected_%1").arg(QCoreApplication::applicationPid())));
    ApiController controller;
    QLocalSocket& socket = ApiControllerTestPeer::requestSocket(controller);
    socket.connectToServer(server.fullServerName());
    ASSERT_TRUE(socket.waitForConnected(5000) && server.waitForNewConnection(5000));
    EXPECT_TRUE(controller.isConnected());
    delete server.nextPendingConnection();
    EXPECT_FALSE(controller.isConnected());
}
