// The stand-in service as a separate process, reached the way hosts reach it: through its
// record, its request and callback sockets, its control channel, its input and its exit code.
#include "servicecontrol.h"
#include "simulator.h"
#include "singleappinstance.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

// Byte strings print as text in failure messages, not as lists of characters.
void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"' << bytes.toStdString() << '"';
}

using quarn::tellan_api::SingleAppInstance;
using testsupport::ServiceControl;
using testsupport::serviceExecutablePath;
using testsupport::StandaloneService;

namespace {

constexpr int kWaitMs = 10000;

// One connection to a service socket, read up to a chosen terminator.
class Peer {
public:
    explicit Peer(const std::string& name, int timeoutMs = kWaitMs) {
        QElapsedTimer clock;
        clock.start();
        do {
            socket_.connectToServer(QString::fromStdString(name));
            if (socket_.waitForConnected(1000))
                return;
            socket_.abort();
            QThread::msleep(50);
        } while (clock.elapsed() < timeoutMs);
    }

    bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }

    void write(const QByteArray& bytes) {
        socket_.write(bytes);
        socket_.waitForBytesWritten(kWaitMs);
    }

    // The bytes up to and including `end`; nothing on time-out or when the connection ends.
    std::optional<QByteArray> readUntil(char end, int timeoutMs = kWaitMs) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const int at = buffer_.indexOf(end);
            if (at >= 0) {
                const QByteArray piece = buffer_.left(at + 1);
                buffer_.remove(0, at + 1);
                return piece;
            }
            const int left = timeoutMs - static_cast<int>(clock.elapsed());
            if (left <= 0 || !socket_.waitForReadyRead(left))
                return std::nullopt;
            buffer_.append(socket_.readAll());
        }
    }

    // One reply frame without its terminator.
    std::optional<QByteArray> frame(int timeoutMs = kWaitMs) {
        auto bytes = readUntil('\0', timeoutMs);
        if (bytes)
            bytes->chop(1);
        return bytes;
    }

    std::optional<QByteArray> request(const QByteArray& type, const QByteArray& bodyJson) {
        write("{\"body\":" + bodyJson + ",\"type\":\"" + type + "\"}" + '\0');
        return frame();
    }

    // True when the service closes the connection within `timeoutMs` without sending anything.
    bool closedSilently(int timeoutMs = kWaitMs) {
        QElapsedTimer clock;
        clock.start();
        while (connected() && clock.elapsed() < timeoutMs) {
            socket_.waitForReadyRead(100);
            buffer_.append(socket_.readAll());
        }
        return !connected() && buffer_.isEmpty();
    }

private:
    QLocalSocket socket_;
    QByteArray buffer_;
};

// OmnivueService.exe started as the library starts it: no arguments, "start <suffix>" on its
// input, which stays open.
class StartedService {
public:
    explicit StartedService(const std::string& scenarioJson = {})
        : suffix_(QUuid::createUuid().toString().toStdString()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("OMNIVUE_SCENARIO");
        environment.remove("OMNIVUE_CONTROL");
        environment.insert("OMNIVUE_SCENARIO_JSON", QString::fromStdString(scenarioJson));
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QString::fromStdString(serviceExecutablePath()), QStringList());
        process_.waitForStarted(kWaitMs);
        process_.write(QByteArray::fromStdString("start " + suffix_ + "\n"));
        process_.waitForBytesWritten(kWaitMs);
    }

    ~StartedService() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(kWaitMs)) {
            process_.kill();
            process_.waitForFinished(kWaitMs);
        }
    }

    const std::string& suffix() const { return suffix_; }
    std::string requestName() const { return "ZuzoRerazuIO_" + suffix_; }
    std::string callbackName() const { return "ZuzoRerazuO_" + suffix_; }
    std::string controlName() const { return "OmnivueControl_" + suffix_; }
    QProcess& process() { return process_; }

    // Exit code once it has ended normally within the wait; -1 for a crash, -2 still running.
    int exitCode(int timeoutMs = kWaitMs) {
        if (!process_.waitForFinished(timeoutMs) && process_.state() != QProcess::NotRunning)
            return -2;
        return process_.exitStatus() == QProcess::CrashExit ? -1 : process_.exitCode();
    }

private:
    std::string suffix_;
    QProcess process_;
};

bool recordPublished() {
    SingleAppInstance reader(QStringLiteral("ZuzoRerazu"));
    return !reader.isPrimary();
}

QByteArray deviceLines() {
    QByteArray lines;
    for (const QByteArray& sn : omnivue::DeviceSimulator().deviceIds())
        lines += '0' + sn + '\n';
    return lines;
}

// The first default device's identifier as a JSON string.
QByteArray firstDeviceJson() {
    return '"' + omnivue::DeviceSimulator().deviceIds().value(0) + '"';
}

// The callback lines of one connection, as many as `expected` holds.
QByteArray readLines(Peer& peer, const QByteArray& expected) {
    QByteArray got;
    while (got.count('\n') < expected.count('\n')) {
        const auto line = peer.readUntil('\n');
        if (!line)
            break;
        got += *line;
    }
    return got;
}

TEST(ServiceStandalone, PublishesRecordAnswersAhshAndRecordsRequests) {
    StandaloneService service;
    ASSERT_TRUE(service.ready()) << service.error();
    {
        SingleAppInstance reader(QStringLiteral("ZuzoRerazu"));
        ASSERT_FALSE(reader.isPrimary());
        reader.waitForPrimary();
        EXPECT_EQ(reader.readValue().toStdString(), service.suffix());
    }
    Peer host("ZuzoRerazuIO_" + service.suffix());
    ASSERT_TRUE(host.connected());
    const QByteArray suffix = QByteArray::fromStdString(service.suffix());
    EXPECT_EQ(host.request("ahsh", '"' + suffix + '"'), "{\"code\":0,\"err\":\"\",\"reply\":true}");
    EXPECT_EQ(host.request("ahsh", "\"{not-ours}\""), "{\"code\":0,\"err\":\"\",\"reply\":false}");
    host.write(QByteArray("no json\n", 8) + '\0');
    const auto malformed = host.frame();
    ASSERT_TRUE(malformed);
    EXPECT_TRUE(malformed->startsWith("{\"code\":5,\"err\":\"request: ")) << malformed->data();

    const std::vector<std::string> requests = service.control().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], "{\"body\":\"" + service.suffix() + "\",\"type\":\"ahsh\"}");
    EXPECT_EQ(requests[1], "{\"body\":\"{not-ours}\",\"type\":\"ahsh\"}");
    EXPECT_EQ(requests[2], "no json\\n");
    EXPECT_EQ(service.control().command("clear"), "ok");
    EXPECT_TRUE(service.control().requests().empty());
}

TEST(ServiceStartedByHost, RawHandshakeDeviceLinesAndTwoHostsAtOnce) {
    StartedService service;
    Peer first(service.requestName());
    ASSERT_TRUE(first.connected());
    first.write(QByteArray::fromStdString(service.suffix()) + '\0');
    EXPECT_EQ(first.frame(), "ok");
    Peer firstCallbacks(service.callbackName());
    EXPECT_EQ(readLines(firstCallbacks, deviceLines()), deviceLines());
    const auto info = first.request("gdevi", firstDeviceJson());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->startsWith("{\"code\":0,\"err\":\"\",\"reply\":{")) << info->data();

    // A second host attaches while the first stays connected; both are served.
    Peer second(service.requestName());
    Peer secondCallbacks(service.callbackName());
    EXPECT_EQ(second.request("ahsh", '"' + QByteArray::fromStdString(service.suffix()) + '"'),
              "{\"code\":0,\"err\":\"\",\"reply\":true}");
    EXPECT_EQ(readLines(secondCallbacks, deviceLines()), deviceLines());
    EXPECT_TRUE(first.request("iaucr", "\"\"")->startsWith("{\"code\":0,\"err\":\"\","));

    ServiceControl control(service.controlName());
    EXPECT_EQ(control.command("clients"), "ok 2 2");
    EXPECT_EQ(control.command("drop request"), "ok");
    EXPECT_TRUE(first.closedSilently());
    EXPECT_TRUE(second.closedSilently());
    EXPECT_EQ(control.command("clients"), "ok 0 2");
    EXPECT_EQ(control.command("drop callback"), "ok");
    EXPECT_TRUE(firstCallbacks.closedSilently());
    EXPECT_EQ(control.command("clients"), "ok 0 0");
}

TEST(ServiceControlChannel, NoticesReachEveryCallbackConnection) {
    StandaloneService service;
    ASSERT_TRUE(service.ready()) << service.error();
    Peer one("ZuzoRerazuO_" + service.suffix());
    Peer two("ZuzoRerazuO_" + service.suffix());
    ASSERT_EQ(readLines(one, deviceLines()), deviceLines());
    ASSERT_EQ(readLines(two, deviceLines()), deviceLines());
    ServiceControl& control = service.control();

    EXPECT_EQ(control.command("arrive NEW 7"), "ok");
    EXPECT_EQ(control.command("event 3 moved left"), "ok");
    EXPECT_EQ(control.command("lose NEW 7"), "ok");
    EXPECT_EQ(control.command("rawcb 9x\\r\\x00\\\\\\n"), "ok");
    const QByteArray expected = QByteArray("0NEW 7\n3moved left\n1NEW 7\n9x\r") + '\0' + "\\\n";
    EXPECT_EQ(readLines(one, expected), expected);
    EXPECT_EQ(readLines(two, expected), expected);

    // An arrival is a device from then on: a new callback connection is told of it.
    EXPECT_EQ(control.command("arrive CAMX"), "ok");
    Peer three("ZuzoRerazuO_" + service.suffix());
    EXPECT_EQ(readLines(three, deviceLines() + "0CAMX\n"), deviceLines() + "0CAMX\n");

    EXPECT_EQ(control.command("event 5 x").rfind("err ", 0), 0u);
    EXPECT_EQ(control.command("rawcb \\q").rfind("err ", 0), 0u);
    EXPECT_EQ(control.command("arrive").rfind("err ", 0), 0u);
    EXPECT_EQ(control.command("frobnicate").rfind("err ", 0), 0u);
    EXPECT_EQ(control.command("exit 5"), "ok");
    ASSERT_TRUE(service.process().waitForFinished(kWaitMs));
    EXPECT_EQ(service.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.process().exitCode(), 5);
    EXPECT_FALSE(recordPublished());
}

// A notice written to a callback connection whose host has gone finds the loss at once, which
// forgets that connection in the middle of the notice: the connections after it must still get
// the notice exactly once. The two commands go in one write, so the service reads both before it
// stalls, and runs the second right after the stall, without a turn of its event loop in which it
// could see the host leave first.
TEST(ServiceControlChannel, NoticesGoOnPastACallbackConnectionThatHasGone) {
    StandaloneService service;
    ASSERT_TRUE(service.ready()) << service.error();
    auto gone = std::make_unique<Peer>("ZuzoRerazuO_" + service.suffix());
    Peer one("ZuzoRerazuO_" + service.suffix());
    Peer two("ZuzoRerazuO_" + service.suffix());
    ASSERT_EQ(readLines(*gone, deviceLines()), deviceLines());
    ASSERT_EQ(readLines(one, deviceLines()), deviceLines());
    ASSERT_EQ(readLines(two, deviceLines()), deviceLines());
    ServiceControl& control = service.control();

    ASSERT_EQ(control.command("stall 300\nevent 2 first"), "ok");  // the stall's answer
    gone.reset();
    EXPECT_EQ(control.command("event 2 second"), "ok");  // the first event's answer
    const QByteArray expected = "2first\n2second\n";
    EXPECT_EQ(readLines(one, expected), expected);
    EXPECT_EQ(readLines(two, expected), expected);
}

TEST(ServiceScripts, ScenarioRepliesRawOverridesDelayDropAndCrash) {
    StandaloneService service(R"({"ahshReply": 1, "uploadCrashReports": true, "commands": {
        "gmode": {"raw": "hello", "times": 1},
        "isaa": {"code": 9, "err": "scripted", "omit": ["reply"]},
        "iszoomap": {"delayMs": 1500, "reply": "late"},
        "tshome": {"drop": true}}})");
    ASSERT_TRUE(service.ready()) << service.error();
    Peer host("ZuzoRerazuIO_" + service.suffix());
    const QByteArray sn = firstDeviceJson();

    EXPECT_EQ(host.request("ahsh", '"' + QByteArray::fromStdString(service.suffix()) + '"'),
              "{\"code\":0,\"err\":\"\",\"reply\":1}");
    EXPECT_EQ(host.request("iaucr", "\"\""), "{\"code\":0,\"err\":\"\",\"reply\":true}");
    EXPECT_EQ(host.request("gmode", sn), "hello");
    EXPECT_TRUE(host.request("gmode", sn)->startsWith("{\"code\":0,\"err\":\"\",\"reply\":"));
    EXPECT_EQ(host.request("isaa", sn), "{\"code\":9,\"err\":\"scripted\"}");

    // A delayed answer holds back the next one on the same connection.
    host.write("{\"body\":" + sn + ",\"type\":\"iszoomap\"}" + '\0' + "{\"body\":" + sn +
               ",\"type\":\"isenabled\"}" + '\0');
    EXPECT_FALSE(host.frame(500));
    EXPECT_EQ(host.frame(), "{\"code\":0,\"err\":\"\",\"reply\":\"late\"}");
    EXPECT_TRUE(host.frame()->contains("\"reply\":"));

    ServiceControl& control = service.control();
    EXPECT_EQ(control.command(R"(script ghomept {"raw": "abc", "rawNoNul": true})"), "ok");
    host.write("{\"body\":" + sn + ",\"type\":\"ghomept\"}" + '\0');
    EXPECT_EQ(host.request("isaa", sn), "abc{\"code\":9,\"err\":\"scripted\"}");
    EXPECT_EQ(control.command("unscript isaa"), "ok");
    EXPECT_EQ(control.command("unscript isaa").rfind("err ", 0), 0u);
    EXPECT_TRUE(host.request("isaa", sn)->startsWith("{\"code\":0,"));
    EXPECT_EQ(control.command(R"(script x {"bogus": 1})").rfind("err ", 0), 0u);

    host.write("{\"body\":" + sn + ",\"type\":\"tshome\"}" + '\0');
    EXPECT_TRUE(host.closedSilently());

    // A scripted crash still takes the record and the servers with it.
    EXPECT_EQ(control.command(R"(script smode {"crash": true})"), "ok");
    Peer other("ZuzoRerazuIO_" + service.suffix());
    other.write("{\"body\":{\"mode\":1,\"sn\":" + sn + "},\"type\":\"smode\"}" + '\0');
    ASSERT_TRUE(service.process().waitForFinished(kWaitMs));
    EXPECT_EQ(service.process().exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(recordPublished());
    EXPECT_FALSE(Peer("ZuzoRerazuIO_" + service.suffix(), 0).connected());
}

TEST(ServiceEnding, OtherRecordSigtermAndInputEnd) {
    StandaloneService first;
    ASSERT_TRUE(first.ready()) << first.error();
    StartedService second;
    EXPECT_EQ(second.exitCode(), 2);
    EXPECT_EQ(first.control().command("clients"), "ok 0 0");

    ASSERT_TRUE(first.stop());
    EXPECT_EQ(first.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.process().exitCode(), 0);
    EXPECT_FALSE(recordPublished());

    // A host that started the service and goes away takes it along.
    StartedService third;
    ASSERT_TRUE(Peer(third.requestName()).connected());
    EXPECT_TRUE(recordPublished());
    third.process().closeWriteChannel();
    EXPECT_EQ(third.exitCode(), 0);
    EXPECT_FALSE(recordPublished());
}

TEST(ServiceStartup, EndingScenarios) {
    EXPECT_EQ(StartedService(R"({"startup": {"exitCode": 7}})").exitCode(), 7);
    EXPECT_EQ(StartedService(R"({"startup": {"exitCode": 0}})").exitCode(), 0);
    EXPECT_EQ(StartedService(R"({"startup": {"crash": true}})").exitCode(), -1);
    EXPECT_EQ(StartedService(R"({"startup": {"exitcode": 7}})").exitCode(), 1);
    EXPECT_EQ(StartedService(R"({"devices": [{"sn": 5}]})").exitCode(), 1);
    EXPECT_EQ(StartedService("{not json").exitCode(), 1);
}

TEST(ServiceStartup, ListeningScenarios) {
    StartedService quiet(R"({"startup": {"neverListen": true}})");
    ServiceControl control(quiet.controlName());
    ASSERT_TRUE(control.connected());
    EXPECT_EQ(control.command("clients"), "ok 0 0");
    EXPECT_FALSE(Peer(quiet.requestName(), 500).connected());
    EXPECT_FALSE(recordPublished());
    EXPECT_EQ(control.command("quit"), "ok");
    EXPECT_EQ(quiet.exitCode(), 0);

    StartedService noCallbacks(R"({"startup": {"noCallbackServer": true}})");
    EXPECT_TRUE(Peer(noCallbacks.requestName()).connected());
    EXPECT_FALSE(Peer(noCallbacks.callbackName(), 500).connected());
}

TEST(ServiceStartup, HandshakeScenarios) {
    // Only one service runs at a time (the record), so each ends before the next starts.
    {
        StartedService upper(R"({"startup": {"handshakeReply": "OK"}})");
        Peer host(upper.requestName());
        host.write(QByteArray::fromStdString(upper.suffix()) + '\0');
        EXPECT_EQ(host.frame(), "OK");
    }
    {
        StartedService held(R"({"startup": {"holdHandshake": true}})");
        Peer host(held.requestName());
        host.write(QByteArray::fromStdString(held.suffix()) + '\0');
        EXPECT_FALSE(host.frame(1500));
        EXPECT_TRUE(host.connected());
    }
    StartedService slow(R"({"startup": {"handshakeDelayMs": 1500}})");
    Peer host(slow.requestName());
    host.write(QByteArray::fromStdString(slow.suffix()) + '\0');
    EXPECT_FALSE(host.frame(500));
    EXPECT_EQ(host.frame(), "ok");
}

}  // namespace
