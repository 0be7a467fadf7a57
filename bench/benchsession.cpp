#include "benchsession.h"

#include "crop_assist.h"
#include "announcementrecord.h"

#include <QElapsedTimer>
#include <QThread>
#include <QUuid>

#include <exception>

namespace bench {

namespace {

// A control channel name of its own for every service that init starts. On Windows a channel is
// a named pipe of which any server may make instances: a client could reach a service of the
// same name that is still ending.
QString newControlName() {
    const QString name = QStringLiteral("OmnivueControl_bench_") +
                         QUuid::createUuid().toString(QUuid::WithoutBraces);
    qputenv("OMNIVUE_CONTROL", name.toUtf8());
    return name;
}

// The suffix that the running service published under "ZuzoRerazu".
bool readSuffix(QString* suffix, QString* error) {
    try {
        quarn::tellan_api::SingleAppInstance record(QStringLiteral("ZuzoRerazu"));
        if (record.isPrimary()) {
            *error = QStringLiteral("the service published no record");
            return false;
        }
        record.waitForPrimary();
        *suffix = record.readValue();
        return true;
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
}

// Notices sent before the library's listener has connected would reach nobody.
bool waitForListener(ControlClient& control, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    do {
        const QList<QByteArray> counts = control.command("clients").split(' ');
        if (counts.size() == 3 && counts[0] == "ok" && counts[2].toInt() >= 1)
            return true;
        QThread::msleep(10);
    } while (clock.elapsed() < timeoutMs);
    return false;
}

}  // namespace

BenchSession& BenchSession::shared() {
    static BenchSession session;
    return session;
}

void BenchSession::prepareEnvironment() {
    newControlName();
    qunsetenv("OMNIVUE_SCENARIO_JSON");
    qunsetenv("OMNIVUE_SCENARIO");
}

bool BenchSession::ensureStarted(QString* error) {
    if (running_)
        return true;
    const QString controlName = newControlName();
    const int result = crop_assist_init();
    if (result != 0) {
        *error = QStringLiteral("crop_assist_init returned %1").arg(result);
        return false;
    }
    running_ = true;
    if (!readSuffix(&suffix_, error)) {
        stop();
        return false;
    }
    if (!control_.connectTo(controlName, 10000) || !waitForListener(control_, 10000)) {
        *error = QStringLiteral("the stand-in's control channel or callback listener is missing");
        stop();
        return false;
    }
    return true;
}

void BenchSession::stop() {
    if (!running_)
        return;
    control_.disconnect();
    crop_assist_exit();
    running_ = false;
}

}  // namespace bench
