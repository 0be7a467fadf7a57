// The standalone stand-in with a control client, and programs run to their end; all blocking.
#pragma once

#include "hostsystem.h"

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline std::string serviceExecutablePath() {
    return std::string(CA_OUTPUT_DIR) + "/OmnivueService.exe";
}

struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name), previous(qgetenv(name)) {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnv() { previous.isNull() ? qunsetenv(name) : qputenv(name, previous); }
    const char* name;
    QByteArray previous;
};

// A client of a running service's control channel, connected within 10 s.
class ServiceControl {
public:
    explicit ServiceControl(const std::string& name) {
        for (int i = 0; i < 200 && socket_.state() != QLocalSocket::ConnectedState; ++i) {
            socket_.connectToServer(QString::fromStdString(name));
            if (!socket_.waitForConnected(1000))
                QThread::msleep(50);
        }
    }
    // One command line and its answer line ("ok...", "err <text>"); "" reads the next line only.
    std::string command(const std::string& line) {
        if (!line.empty()) {
            socket_.write(QByteArray::fromStdString(line + "\n"));
            socket_.waitForBytesWritten(10000);
        }
        while (!socket_.canReadLine())
            if (!socket_.waitForReadyRead(10000))
                return "err no answer to \"" + line + "\": " + socket_.errorString().toStdString();
        return socket_.readLine().chopped(1).toStdString();
    }
    ::testing::AssertionResult ok(const std::string& line) {
        const std::string answer = command(line);
        if (answer == "ok" || answer.rfind("ok ", 0) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "\"" << line << "\" answered \"" << answer << "\"";
    }
    // The request frames the service has received of `type` (all for ""), oldest first.
    std::vector<std::string> requests(const std::string& type = {}) {
        const std::string head = command("requests");
        std::vector<std::string> out;
        for (int i = head.rfind("ok ", 0) == 0 ? std::stoi(head.substr(3)) : 0; i > 0; --i) {
            const std::string frame = command("");
            if (type.empty() ||
                QJsonDocument::fromJson(frame.c_str())["type"] == QString::fromStdString(type))
                out.push_back(frame);
        }
        return out;
    }
    void waitForRequest(const std::string& type) {
        for (int i = 0; i < 500 && requests(type).empty(); ++i)
            QThread::msleep(20);
    }
    bool waitForCallbackConnections(int count) {
        for (int i = 0; i < 500; ++i, QThread::msleep(20)) {
            const std::string answer = command("clients");
            if (answer.size() > 3 && answer.substr(answer.rfind(' ') + 1) == std::to_string(count))
                return true;
        }
        return false;
    }

private:
    QLocalSocket socket_;
};

// Ready once it has printed its names; ended politely, then hard.
class StandaloneService {
public:
    explicit StandaloneService(const std::string& scenarioJson = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"OMNIVUE_SCENARIO_JSON", "OMNIVUE_SCENARIO", "OMNIVUE_CONTROL"})
            environment.remove(name);
        if (!scenarioJson.empty())
            environment.insert("OMNIVUE_SCENARIO_JSON", QString::fromStdString(scenarioJson));
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QString::fromStdString(serviceExecutablePath()),
                       {"--standalone", "--quit-on-eof"});
        while (!ready() && process_.waitForReadyRead(10000)) {
            while (process_.canReadLine()) {
                const QByteArray line = process_.readLine().trimmed();
                (line.startsWith("suffix ") ? suffix_ : controlName_) =
                    line.mid(line.indexOf(' ') + 1).toStdString();
            }
        }
    }
    ~StandaloneService() {
        control_.reset();
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished(2000);
    }
    bool ready() const { return !suffix_.empty() && !controlName_.empty(); }
    const std::string& suffix() const { return suffix_; }
    ServiceControl& control() {
        if (!control_)
            control_ = std::make_unique<ServiceControl>(controlName_);
        return *control_;
    }
    QProcess& process() { return process_; }

private:
    QProcess process_;
    std::unique_ptr<ServiceControl> control_;
    std::string suffix_, controlName_;
};

// A program run to its end (bounded, so a hang fails instead of blocking the suite).
struct ChildRun {
    int status = -1;
    bool crashed = false;
    std::string out, err;
    std::string describe() const { return "status " + std::to_string(status) + "\n" + out + err; }
};
inline ChildRun runChild(const QString& program, const QStringList& arguments,
                         const QByteArray& input = {}) {
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        process.kill();
    process.waitForFinished(5000);
    ChildRun run;
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.status = process.exitCode();
    run.out = textOf(process.readAllStandardOutput().toStdString());
    run.err =
        textOf(process.readAllStandardError().toStdString()) + process.errorString().toStdString();
    return run;
}

}  // namespace testsupport
