#include "service.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QThread>

namespace testsupport {

std::string serviceExecutablePath() {
    return std::string(CA_OUTPUT_DIR) + "/OmnivueService.exe";
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value)
    : name_(name), previous_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name)) {
    qputenv(name, QByteArray::fromStdString(value));
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        qputenv(name_, previous_);
    else
        qunsetenv(name_);
}

ServiceControl::ServiceControl(const std::string& name) : socket_(new QLocalSocket) {
    QElapsedTimer clock;
    clock.start();
    do {
        socket_->connectToServer(QString::fromStdString(name));
        if (socket_->waitForConnected(1000))
            return;
        socket_->abort();
        QThread::msleep(50);
    } while (clock.elapsed() < 10000);
}

ServiceControl::~ServiceControl() = default;

bool ServiceControl::readLine(std::string* line) {
    while (!socket_->canReadLine())
        if (!socket_->waitForReadyRead(10000))
            return false;
    *line = socket_->readLine().chopped(1).toStdString();
    return true;
}

std::string ServiceControl::command(const std::string& line) {
    socket_->write(QByteArray::fromStdString(line + "\n"));
    socket_->waitForBytesWritten(10000);
    std::string answer;
    if (!readLine(&answer))
        return "err no answer to \"" + line + "\": " + socket_->errorString().toStdString();
    return answer;
}

::testing::AssertionResult ServiceControl::ok(const std::string& line) {
    const std::string answer = command(line);
    if (answer == "ok" || answer.rfind("ok ", 0) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << line << "\" answered \"" << answer << "\"";
}

std::vector<std::string> ServiceControl::requests(const std::string& type) {
    const std::string head = command("requests");
    std::vector<std::string> out;
    const int count = head.rfind("ok ", 0) == 0 ? std::stoi(head.substr(3)) : 0;
    for (int i = 0; i < count; ++i) {
        std::string frame;
        if (!readLine(&frame))
            break;
        const QJsonObject request =
            QJsonDocument::fromJson(QByteArray::fromStdString(frame)).object();
        if (type.empty() || request.value("type").toString().toStdString() == type)
            out.push_back(frame);
    }
    return out;
}

bool ServiceControl::waitForCallbackConnections(int count) {
    const std::string wanted = " " + std::to_string(count);
    for (int i = 0; i < 500; ++i) {
        const std::string answer = command("clients");
        if (answer.size() > wanted.size() &&
            answer.compare(answer.size() - wanted.size(), wanted.size(), wanted) == 0)
            return true;
        QThread::msleep(20);
    }
    return false;
}

StandaloneService::StandaloneService(const std::string& scenarioJson) {
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
            if (line.startsWith("suffix "))
                suffix_ = line.mid(7).toStdString();
            else if (line.startsWith("control "))
                controlName_ = line.mid(8).toStdString();
        }
    }
}

StandaloneService::~StandaloneService() {
    control_.reset();
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

ServiceControl& StandaloneService::control() {
    if (!control_)
        control_ = std::make_unique<ServiceControl>(controlName_);
    return *control_;
}

std::string ChildRun::describe() const {
    return "status " + std::to_string(status) + (crashed ? " (crashed)" : "") + "\nstdout:\n" +
           out + "stderr:\n" + err;
}

ChildRun runChild(const QString& program, const QStringList& arguments, const QByteArray& input,
                  const QString& workingDirectory) {
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    ChildRun run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = "did not end: ";
    }
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err += process.readAllStandardError().toStdString() + process.errorString().toStdString();
    return run;
}

}  // namespace testsupport
