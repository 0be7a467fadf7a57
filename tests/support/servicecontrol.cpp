#include "servicecontrol.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>

namespace testsupport {

namespace {
constexpr int kRetryPauseMs = 50;
constexpr int kKillWaitMs = 2000;
}  // namespace

std::string serviceExecutablePath() {
    return std::string(CA_OUTPUT_DIR) + "/OmnivueService.exe";
}

ServiceControl::ServiceControl(const std::string& name, int connectTimeoutMs)
    : socket_(std::make_unique<QLocalSocket>()) {
    QElapsedTimer clock;
    clock.start();
    do {
        socket_->connectToServer(QString::fromStdString(name));
        if (socket_->waitForConnected(1000))
            return;
        socket_->abort();
        QThread::msleep(kRetryPauseMs);
    } while (clock.elapsed() < connectTimeoutMs);
}

ServiceControl::~ServiceControl() = default;

bool ServiceControl::connected() const {
    return socket_->state() == QLocalSocket::ConnectedState;
}

bool ServiceControl::readLine(std::string* line, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!socket_->canReadLine()) {
        const int left = timeoutMs - static_cast<int>(clock.elapsed());
        if (left <= 0 || !socket_->waitForReadyRead(left))
            return false;
    }
    QByteArray bytes = socket_->readLine();
    bytes.chop(1);
    *line = bytes.toStdString();
    return true;
}

std::string ServiceControl::command(const std::string& line, int timeoutMs) {
    if (!connected())
        return "err control channel not connected";
    socket_->write(QByteArray::fromStdString(line + "\n"));
    socket_->waitForBytesWritten(timeoutMs);
    std::string answer;
    if (!readLine(&answer, timeoutMs))
        return "err no answer to \"" + line + "\": " + socket_->errorString().toStdString();
    return answer;
}

std::vector<std::string> ServiceControl::requests() {
    const std::string head = command("requests");
    std::vector<std::string> out;
    if (head.rfind("ok ", 0) != 0)
        return out;
    const int count = std::stoi(head.substr(3));
    for (int i = 0; i < count; ++i) {
        std::string line;
        if (!readLine(&line, 10000))
            return {};
        out.push_back(line);
    }
    return out;
}

StandaloneService::StandaloneService(const std::string& scenarioJson,
                                     const std::string& controlName, int readyTimeoutMs) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("OMNIVUE_SCENARIO_JSON");
    environment.remove("OMNIVUE_SCENARIO");
    environment.remove("OMNIVUE_CONTROL");
    if (!scenarioJson.empty())
        environment.insert("OMNIVUE_SCENARIO_JSON", QString::fromStdString(scenarioJson));
    QStringList arguments{"--standalone", "--quit-on-eof"};
    if (!controlName.empty())
        arguments << "--control" << QString::fromStdString(controlName);
    process_.setProcessEnvironment(environment);
    // The service's log goes straight to the test's error output, next to the test's own.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QString::fromStdString(serviceExecutablePath()), arguments);
    if (!process_.waitForStarted(readyTimeoutMs)) {
        error_ =
            "cannot start " + serviceExecutablePath() + ": " + process_.errorString().toStdString();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (suffix_.empty() || controlName_.empty()) {
        if (!process_.canReadLine()) {
            const int left = readyTimeoutMs - static_cast<int>(clock.elapsed());
            if (process_.state() != QProcess::Running || left <= 0) {
                error_ = "service not ready: ";
                break;
            }
            process_.waitForReadyRead(std::min(left, 100));
            continue;
        }
        const QByteArray line = process_.readLine().trimmed();
        if (line.startsWith("suffix "))
            suffix_ = line.mid(7).toStdString();
        else if (line.startsWith("control "))
            controlName_ = line.mid(8).toStdString();
    }
    if (!error_.empty()) {
        error_ += process_.state() == QProcess::Running
                      ? "no names printed in time"
                      : "it ended with exit code " + std::to_string(process_.exitCode()) +
                            (process_.exitStatus() == QProcess::CrashExit ? " (crash)" : "");
        return;
    }
    ready_ = true;
}

StandaloneService::~StandaloneService() {
    control_.reset();
    if (!stop()) {
        process_.kill();
        process_.waitForFinished(kKillWaitMs);
    }
}

ServiceControl& StandaloneService::control() {
    if (!control_)
        control_ = std::make_unique<ServiceControl>(controlName_);
    return *control_;
}

bool StandaloneService::stop(int timeoutMs) {
    if (process_.state() == QProcess::NotRunning)
        return true;
    process_.terminate();
    return process_.waitForFinished(timeoutMs);
}

}  // namespace testsupport
