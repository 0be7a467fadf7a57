#include "service.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QThread>

namespace testsupport {

std::string serviceExecutablePath() {
    return std::string(CA_OUTPUT_DIR) + "/OmnivueService.exe";
}

ServiceControl::ServiceControl(const std::string& name) : socket_(new QLocalSocket) {
    for (int i = 0; i < 200 && socket_->state() != QLocalSocket::ConnectedState; ++i) {
        socket_->connectToServer(QString::fromStdString(name));
        if (!socket_->waitForConnected(1000))
            QThread::msleep(50);
    }
}

ServiceControl::~ServiceControl() = default;

std::string ServiceControl::command(const std::string& line) {
    if (!line.empty()) {
        socket_->write(QByteArray::fromStdString(line + "\n"));
        socket_->waitForBytesWritten(10000);
    }
    while (!socket_->canReadLine())
        if (!socket_->waitForReadyRead(10000))
            return "err no answer to \"" + line + "\": " + socket_->errorString().toStdString();
    return socket_->readLine().chopped(1).toStdString();
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
    for (int i = head.rfind("ok ", 0) == 0 ? std::stoi(head.substr(3)) : 0; i > 0; --i) {
        const std::string frame = command("");  // the next line of the answer
        const QJsonObject request =
            QJsonDocument::fromJson(QByteArray::fromStdString(frame)).object();
        if (type.empty() || request.value("type").toString().toStdString() == type)
            out.push_back(frame);
    }
    return out;
}

bool ServiceControl::waitForCallbackConnections(int count) {
    for (int i = 0; i < 500; ++i, QThread::msleep(20)) {
        const std::string answer = command("clients");
        if (answer.size() > 3 && answer.substr(answer.rfind(' ') + 1) == std::to_string(count))
            return true;
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
            (line.startsWith("suffix ") ? suffix_ : controlName_) =
                line.mid(line.indexOf(' ') + 1).toStdString();
        }
    }
}

StandaloneService::~StandaloneService() {
    control_.reset();
    process_.terminate();
    if (!process_.waitForFinished(10000))
        process_.kill();
    process_.waitForFinished(2000);
}

ServiceControl& StandaloneService::control() {
    if (!control_)
        control_ = std::make_unique<ServiceControl>(controlName_);
    return *control_;
}

ChildRun runChild(const QString& program, const QStringList& arguments, const QByteArray& input,
                  const QString& workingDirectory) {
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        process.kill();
    process.waitForFinished(5000);
    ChildRun run;
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString() + process.errorString().toStdString();
    return run;
}

}  // namespace testsupport
