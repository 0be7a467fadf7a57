// Reaching the service: starting OmnivueService.exe with the raw handshake, or attaching to a
// running one through its announcement record with the JSON handshake.
#include "apicontroller.h"

#include "announcementrecord.h"
#include "errors.h"
#include "localconnect.h"
#include "platform.h"
#include "protocolkeys.h"
#include "recorder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <QUuid>
#include <QtDebug>

#include <exception>
#include <string>

namespace quarn::tellan_api {

namespace {

const char kServiceExecutable[] = "OmnivueService.exe";
const char kRequestServerPrefix[] = "ZuzoRerazuIO_";
const char kAnnouncementName[] = "ZuzoRerazu";
constexpr qint64 kRetryPauseMs = 10;

// Stops the service that start-up launched when start-up fails after the launch, so that a
// failed init leaves no process behind.
class ProcessGuard {
public:
    explicit ProcessGuard(QProcess& process) : process(&process) {}
    ~ProcessGuard() {
        if (process)
            endProcess(*process);
    }
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

    void disarm() { process = nullptr; }

private:
    QProcess* process;
};

// Why a service that was started did not let the library connect, as the exception to throw.
StartupException connectionFailure(QProcess& process, const QLocalSocket& socket) {
    process.waitForFinished(1);
    if (recording::on()) {
        if (process.state() != QProcess::Running)
            process.waitForFinished(1000);
        recording::serviceEnded(process.state() != QProcess::NotRunning,
                                process.exitStatus() == QProcess::CrashExit, process.exitCode());
    }
    if (process.state() == QProcess::Running)
        return StartupException(
            INIT_STARTUP_ERROR,
            QStringLiteral("Cannot connect to Omnivue API: ") + socket.errorString());
    process.waitForFinished(1000);
    if (process.state() != QProcess::NotRunning)
        return StartupException(INIT_STARTUP_ERROR, "Omnivue service failed to communicate");
    if (process.exitStatus() == QProcess::CrashExit)
        return StartupException(INIT_CRASH_DETECTED, "Omnivue service crashed on start");
    const int exitCode = process.exitCode();
    if (exitCode == 0)
        return StartupException(INIT_STARTUP_ERROR, "Omnivue Service successfully failed to start");
    if (exitCode >= INIT_STARTUP_ERROR && exitCode <= INIT_UNKNOWN_ERROR) {
        QString name = QString::fromLatin1(initResultName(exitCode));
        if (name.isEmpty())
            name = QStringLiteral("StartupResult(%1)").arg(exitCode);
        return StartupException(
            exitCode, QStringLiteral("Omnivue Service failed to start with error: %1").arg(name));
    }
    // Concatenated: the two-argument arg() is out of line only from Qt 5.14.
    return StartupException(INIT_STARTUP_ERROR,
                            QStringLiteral("Omnivue Service failed to start with error: ") +
                                QString::number(exitCode) + QStringLiteral(" (") +
                                process.errorString() + QLatin1Char(')'));
}

// Where Qt watches a process's end from the system's thread pool (QProcess's QWinEventNotifier
// on Windows), that watch calls into Qt when the service ends. A library with its own Qt inside
// that is unloaded with a session open ends the service and takes that Qt with it, and the call
// would land in unmapped code. The library never waits for that notice: every look at the
// service's state waits on the process itself (waitForFinished), so the watch is switched off.
void stopWatchingTheEnd(QProcess& process) {
    for (QObject* child : process.children())
        if (QByteArray(child->metaObject()->className()).endsWith("QWinEventNotifier"))
            QMetaObject::invokeMethod(child, "setEnabled", Qt::DirectConnection,
                                      Q_ARG(bool, false));
}

// The directory the library was loaded from, ending with its separator; "" after logging why
// when the system cannot tell.
QString libraryDirectory() {
    std::string error;
    const std::string directory = platform::libraryDirectory(error);
    if (directory.empty())
        qCritical("%s", error.c_str());
    return QString::fromStdString(directory);
}

}  // namespace

bool ApiController::connectRequestSocket(const QString& suffix, uint32_t maxAttempts,
                                         const std::function<bool()>& keepTrying) {
    const QString serverName = QLatin1String(kRequestServerPrefix) + suffix;
    uint32_t attempts = 0;
    while (attempts < maxAttempts) {
        if (!keepTrying())
            break;
        QElapsedTimer stopwatch;
        stopwatch.start();
        if (connectWithin(requestSocket, serverName, startAttemptMs, kRetryPauseMs, keepTrying))
            break;
        // A service that has ended is not waited for.
        if (++attempts == maxAttempts || !keepTrying())
            break;
        qDebug(".");
        // Attempts begin at least a window apart, also when the server is refused at once.
        const qint64 elapsed = stopwatch.elapsed();
        if (elapsed < startAttemptMs)
            QThread::msleep(static_cast<unsigned long>(startAttemptMs - elapsed));
    }
    return requestSocket.state() == QLocalSocket::ConnectedState;
}

void ApiController::startService() {
    QString program = QString::fromLatin1(kServiceExecutable);
    QString directory = libraryDirectory();
    if (!directory.isEmpty()) {
        if (!directory.endsWith(QLatin1Char('\\')) && !directory.endsWith(QLatin1Char('/')))
            directory += QDir::separator();
        serviceProcess.setWorkingDirectory(directory);
        program = directory + program;
    }
    if (!QFile::exists(program))
        throw StartupException(INIT_MISSING_CROP_ASSIST, "Missing OmnivueService.exe");

    const QByteArray suffix = QUuid::createUuid().toByteArray();
    // The program form quotes the path itself where the platform needs it (blanks in the path).
    // Write-only: the service's output is never read.
    serviceProcess.start(program, QStringList(), QIODevice::WriteOnly);
    ProcessGuard guard(serviceProcess);
    if (!serviceProcess.waitForStarted(30000))
        throw StartupException(
            INIT_STARTUP_ERROR,
            QStringLiteral("Cannot start Omnivue process: ") + serviceProcess.errorString());
    platform::setStartedProcess(serviceProcess.processId());
    stopWatchingTheEnd(serviceProcess);
    serviceProcess.write("start ");
    serviceProcess.write(suffix);
    serviceProcess.write("\n");
    serviceProcess.waitForBytesWritten(1000);

    const bool connected = connectRequestSocket(QString::fromLatin1(suffix), 60, [this] {
        serviceProcess.waitForFinished(1);  // lets the process notice that it has ended
        return serviceProcess.state() == QProcess::Running;
    });
    if (!connected)
        throw connectionFailure(serviceProcess, requestSocket);

    // Device notices that arrive during the handshake wait for the registry until it is done.
    std::unique_lock<std::recursive_mutex> devicesLock(devicesMutex);
    startListener(QString::fromLatin1(suffix));

    if (recording::on())
        recording::requestSent(suffix.constData(), suffix.size(), true);
    requestSocket.write(suffix);
    requestSocket.write(QByteArray(1, '\0'));
    requestSocket.flush();
    requestSocket.waitForBytesWritten(10000);
    QByteArray reply;
    std::string readError;
    try {
        reply = readMessage(60000);
    } catch (const std::exception& e) {
        readError = e.what();
    }
    if (reply != "ok")
        throw StartupException(INIT_STARTUP_ERROR, "API server handshake failed " + readError);
    guard.disarm();
}

void ApiController::attachService() {
    // Reader only; its handles are released on every way out.
    SingleAppInstance announcement(QString::fromLatin1(kAnnouncementName));
    if (announcement.isPrimary())
        throw StartupException(INIT_STARTUP_ERROR, "API server not found");
    announcement.waitForPrimary();
    const QString suffix = announcement.readValue();
    if (!connectRequestSocket(suffix, 1, [] { return true; }))
        throw StartupException(INIT_STARTUP_ERROR, "Failed to attach to API server");
    try {
        const QJsonValue accepted = sendRequest(keys::handshake, QJsonValue(suffix), 30000);
        if (!accepted.isBool() || !accepted.toBool())
            throw std::runtime_error("server rejected client");
    } catch (const std::exception& e) {
        throw StartupException(INIT_STARTUP_ERROR,
                               std::string("Failed handshake with API server: ") + e.what());
    }
    startListener(suffix);
}

}  // namespace quarn::tellan_api
