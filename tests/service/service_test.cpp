// The stand-in service as a process: its start line, scenario checks and exit codes, its record,
// several hosts at once, and its control channel's notices (the library's suites use the rest).
#include "service.h"
#include "singleappinstance.h"

#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

using testsupport::ServiceControl;
using testsupport::StandaloneService;

namespace {

bool recordPublished() {
    return !quarn::tellan_api::SingleAppInstance(QStringLiteral("ZuzoRerazu")).isPrimary();
}

// The service started as the library starts it: "start <suffix>" on its input, which stays open.
struct Started {
    explicit Started(const QString& scenario) : suffix(QUuid::createUuid().toString()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("OMNIVUE_SCENARIO_JSON", scenario);
        environment.remove("OMNIVUE_CONTROL");
        process.setProcessEnvironment(environment);
        process.start(QString::fromStdString(testsupport::serviceExecutablePath()), QStringList());
        process.waitForStarted(10000);
        process.write("start " + suffix.toUtf8() + "\n");
        process.waitForBytesWritten(10000);
    }
    ~Started() {
        process.terminate();
        process.waitForFinished(10000);
    }
    // The exit code once it has ended; -1 for a crash.
    int exitCode() {
        process.waitForFinished(10000);
        return process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    }
    QString suffix;
    QProcess process;
};

// A host's connection to one of the service's sockets; lines up to `end`.
struct Peer {
    // Connects within 10 s: a service just started may not listen yet.
    explicit Peer(const std::string& name) {
        for (int i = 0; i < 200 && socket.state() != QLocalSocket::ConnectedState; ++i) {
            socket.connectToServer(QString::fromStdString(name));
            if (!socket.waitForConnected(1000))
                QThread::msleep(50);
        }
    }
    QByteArray read(int lines, char end = '\n') {
        while (buffer.count(end) < lines && socket.waitForReadyRead(10000))
            buffer += socket.readAll();
        int size = 0;
        for (int i = 0; i < lines && buffer.indexOf(end, size) >= 0; ++i)
            size = buffer.indexOf(end, size) + 1;
        const QByteArray out = buffer.left(size);
        buffer.remove(0, size);
        return out;
    }
    QLocalSocket socket;
    QByteArray buffer;
};

}  // namespace

TEST(Service, StartLineScenarioChecksAndExitCodes) {
    // A scenario is checked before start-up: unknown members, wrong types and duplicates are
    // refused with 1 (the library's start-up suite runs the exit codes a scenario asks for).
    for (const char* scenario : {R"({"startup": {"exitcode": 7}})", R"({"devices": [{"sn": 5}]})",
                                 R"({"devices": [{"sn": "X"}, {"sn": "X"}]})", "{not json"})
        EXPECT_EQ(Started(scenario).exitCode(), 1) << scenario;

    // A second service finds the live record and leaves with 2; SIGTERM ends one cleanly, and so
    // does the end of its input, each taking the record along.
    {
        StandaloneService first;
        ASSERT_TRUE(first.ready());
        EXPECT_EQ(Started("{}").exitCode(), 2);
        first.process().terminate();
        ASSERT_TRUE(first.process().waitForFinished(10000));
        EXPECT_EQ(first.process().exitCode(), 0);
        EXPECT_EQ(first.process().exitStatus(), QProcess::NormalExit);
        EXPECT_FALSE(recordPublished());
    }
    Started started("{}");
    Peer host("ZuzoRerazuIO_" + started.suffix.toStdString());
    ASSERT_EQ(host.socket.state(), QLocalSocket::ConnectedState);
    EXPECT_TRUE(recordPublished());
    started.process.closeWriteChannel();
    EXPECT_EQ(started.exitCode(), 0);
    EXPECT_FALSE(recordPublished());
}

TEST(Service, HostsRequestsAndNoticesOverTheControlChannel) {
    StandaloneService service;
    ASSERT_TRUE(service.ready());
    ServiceControl& control = service.control();
    const std::string requestName = "ZuzoRerazuIO_" + service.suffix();
    const std::string callbackName = "ZuzoRerazuO_" + service.suffix();
    // Each new callback connection is first told of the current devices.
    auto gone = std::make_unique<Peer>(callbackName);
    Peer one(callbackName), two(callbackName);
    for (Peer* peer : {gone.get(), &one, &two})
        ASSERT_EQ(peer->read(2), "0CAM1\n0CAM2\n");

    // Requests of two hosts at once: the raw handshake, a frame that is not a request (code 5).
    Peer first(requestName), second(requestName);
    first.socket.write(QByteArray::fromStdString(service.suffix()) + '\0');
    EXPECT_EQ(first.read(1, '\0'), QByteArray("ok", 3));
    second.socket.write(QByteArray("no json\n", 9));
    EXPECT_TRUE(second.read(1, '\0').startsWith(R"({"code":5,"err":"request: )"));
    EXPECT_EQ(control.requests().back(), "no json\\n");
    EXPECT_EQ(control.command("clients"), "ok 2 3");
    for (const char* bad : {"event 5 x", "rawcb \\q", "arrive", "frobnicate", "unscript none",
                            R"(script x {"bogus": 1})"})
        EXPECT_EQ(control.command(bad).rfind("err ", 0), 0u) << bad;
    EXPECT_TRUE(control.ok("arrive CAMX"));
    EXPECT_EQ(Peer(callbackName).read(3), "0CAM1\n0CAM2\n0CAMX\n");

    // A notice to a connection whose host has gone finds the loss at once; the connections after
    // it must still get the notice exactly once. The commands go in one write, so that the
    // service runs the event right after the stall, before it can see the host leave. (From here
    // on each answer read is the one of the command before.)
    ASSERT_EQ(control.command("stall 300\nevent 2 first"), "ok");
    gone.reset();
    for (const char* line : {"event 3 moved left", "lose CAMX", "rawcb 9x\\r\\x00\\\\\\n"})
        EXPECT_EQ(control.command(line), "ok");
    const QByteArray expected =
        QByteArray("0CAMX\n2first\n3moved left\n1CAMX\n9x\r") + '\0' + "\\\n";
    EXPECT_EQ(one.read(5), expected);
    EXPECT_EQ(two.read(5), expected);
    EXPECT_EQ(control.command("exit 5"), "ok");
    ASSERT_TRUE(service.process().waitForFinished(10000));
    EXPECT_EQ(service.process().exitCode(), 5);
    EXPECT_FALSE(recordPublished());
}
