// The stand-in as a process: scenario checks, its record, its end, notices to every connection.
#include "service.h"
#include "announcementrecord.h"

using testsupport::ServiceControl;
using testsupport::StandaloneService;

namespace {

bool recordPublished() {
    return !quarn::tellan_api::SingleAppInstance(QStringLiteral("ZuzoRerazu")).isPrimary();
}

// The exit status of the service started as the library starts it, its input ending at once.
int startedStatus(const std::string& scenario) {
    testsupport::ScopedEnv environment("OMNIVUE_SCENARIO_JSON", scenario);
    return testsupport::runChild(QString::fromStdString(testsupport::serviceExecutablePath()), {},
                                 "start {00000000-0000-0000-0000-000000000000}\n")
        .status;
}

// The next `count` lines a callback connection receives (a control client reads any lines).
std::string lines(ServiceControl& connection, int count) {
    std::string out;
    while (count-- > 0)
        out += connection.command("") + "\n";
    return out;
}

}  // namespace

TEST(Service, StartLineScenarioChecksAndExitCodes) {
    // Unknown members, wrong types and bad JSON are refused with 1 before start-up.
    for (const char* scenario :
         {R"({"startup": {"exitcode": 7}})", R"({"devices": [{"sn": 5}]})", "{not json"})
        EXPECT_EQ(startedStatus(scenario), 1) << scenario;

    // A second service finds the live record and leaves with 2; SIGTERM or end of input ends one.
    for (bool signal : {true, false}) {
        StandaloneService first;
        ASSERT_TRUE(first.ready());
        EXPECT_TRUE(recordPublished());
        if (signal) {
            EXPECT_EQ(startedStatus("{}"), 2);
            first.process().terminate();
        } else {
            first.process().closeWriteChannel();
        }
        ASSERT_TRUE(first.process().waitForFinished(10000));
        EXPECT_EQ(first.process().exitCode(), 0);
        EXPECT_EQ(first.process().exitStatus(), QProcess::NormalExit);
        EXPECT_FALSE(recordPublished());
    }
}

TEST(Service, NoticesReachEveryCallbackConnection) {
    StandaloneService service;
    ASSERT_TRUE(service.ready());
    ServiceControl& control = service.control();
    const std::string callbackName = "ZuzoRerazuO_" + service.suffix();
    // Each new callback connection is first told of the current devices.
    auto gone = std::make_unique<ServiceControl>(callbackName);
    ServiceControl one(callbackName), two(callbackName);
    for (ServiceControl* connection : {gone.get(), &one, &two})
        ASSERT_EQ(lines(*connection, 2), "0CAM1\n0CAM2\n");
    EXPECT_TRUE(control.ok("arrive CAMX"));
    ServiceControl three(callbackName);
    EXPECT_EQ(lines(three, 3), "0CAM1\n0CAM2\n0CAMX\n");

    // A notice to a gone host finds the loss at once; later connections still get it once. One
    // write runs the event before the service sees the host leave (answers now lag a command).
    ASSERT_EQ(control.command("stall 300\nevent 2 first"), "ok");
    gone.reset();
    for (const char* line : {"event 3 moved left", "lose CAMX", "rawcb 9x\\r\\x00\\\\\\n"})
        EXPECT_EQ(control.command(line), "ok");
    const std::string expected =
        std::string("0CAMX\n2first\n3moved left\n1CAMX\n9x\r") + '\0' + "\\\n";
    EXPECT_EQ(lines(one, 5), expected);
    EXPECT_EQ(lines(two, 5), expected);
    EXPECT_EQ(control.command("exit 5"), "ok");
    ASSERT_TRUE(service.process().waitForFinished(10000));
    EXPECT_EQ(service.process().exitCode(), 5);
    EXPECT_FALSE(recordPublished());
}
