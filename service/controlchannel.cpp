#include "controlchannel.h"

#include "serverlisten.h"
#include "servicehost.h"
#include "servicelog.h"
#include "simulator.h"
#include "textescape.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QThread>

#include <limits>

namespace omnivue {

namespace {

// A command line longer than this is not a command; the connection is ended.
constexpr qint64 kMaxLineBytes = 1 << 20;
constexpr int kMaxStallMs = 600000;

const char kHelp[] =
    "ok arrive <sn> | lose <sn> | event <2|3|4> <text> | rawcb <escaped> | crash | exit <code> | "
    "drop request|callback|all | stall <ms> | script <type> <json> | unscript <type> | requests "
    "| clear | clients | devices | notices <line> | quit | help";

QByteArray err(const QByteArray& text) {
    return "err " + text;
}

QByteArray err(const QString& text) {
    return err(text.toUtf8());
}

QByteArray err(const char* text) {
    return err(QByteArray(text));
}

bool toInt(const QByteArray& text, int min, int max, int* out) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < min || value > max)
        return false;
    *out = value;
    return true;
}

}  // namespace

ControlChannel::ControlChannel(ServiceHost& host, DeviceSimulator& simulator, QObject* parent)
    : QObject(parent), host_(host), simulator_(simulator) {
    connect(&server_, &QLocalServer::newConnection, this, &ControlChannel::acceptConnections);
}

ControlChannel::~ControlChannel() {
    close();
}

bool ControlChannel::listen(const QString& name, QString* error) {
    if (!listenExclusive(server_, name, error))
        return false;
    qCInfo(lcService).noquote() << "Control channel on" << server_.fullServerName();
    return true;
}

void ControlChannel::close() {
    server_.close();
    for (QLocalSocket* socket : findChildren<QLocalSocket*>()) {
        socket->abort();
        socket->deleteLater();
    }
}

void ControlChannel::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readCommands(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ControlChannel::readCommands(QLocalSocket* socket) {
    while (socket->canReadLine()) {
        QByteArray line = socket->readLine();
        line.chop(line.endsWith("\r\n") ? 2 : 1);
        qCInfo(lcService).noquote() << "Control:" << escapeC(line.left(200));
        const Outcome outcome = execute(line);
        socket->write(outcome.answer + '\n');
        if (outcome.after) {
            // The answer must be out before the service stalls or ends.
            socket->flush();
            socket->waitForBytesWritten(1000);
            outcome.after();
        }
    }
    if (socket->bytesAvailable() > kMaxLineBytes) {
        qCWarning(lcService) << "Control connection sent a line over" << kMaxLineBytes
                             << "bytes; closing it";
        socket->abort();
    }
}

ControlChannel::Outcome ControlChannel::execute(const QByteArray& line) {
    const int space = line.indexOf(' ');
    const QByteArray word = space < 0 ? line : line.left(space);
    const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1);

    if (word == "arrive" || word == "lose") {
        if (rest.isEmpty())
            return {err("usage: " + word + " <sn>"), {}};
        const bool arrive = word == "arrive";
        if (arrive)
            simulator_.addDevice(rest);
        else
            simulator_.removeDevice(rest);
        host_.broadcast((arrive ? "0" : "1") + rest + '\n');
        return {"ok", {}};
    }
    if (word == "event") {
        const QByteArray digit = rest.left(1);
        if (digit.isEmpty() || !QByteArray("234").contains(digit) ||
            (rest.size() > 1 && rest.at(1) != ' '))
            return {err("usage: event <2|3|4> <text>"), {}};
        host_.broadcast(digit + rest.mid(2) + '\n');
        return {"ok", {}};
    }
    if (word == "rawcb") {
        QByteArray bytes;
        QString error;
        if (!unescapeC(rest, &bytes, &error))
            return {err("rawcb: " + error), {}};
        host_.broadcast(bytes);
        return {"ok", {}};
    }
    if (word == "crash")
        return {"ok", [this] { emit crashRequested(); }};
    if (word == "exit" || word == "quit") {
        int code = 0;
        if (word == "exit" && !toInt(rest, 0, 255, &code))
            return {err("usage: exit <code 0-255>"), {}};
        return {"ok", [this, code] { emit exitRequested(code); }};
    }
    if (word == "drop") {
        if (rest == "request")
            host_.dropConnections(ServiceHost::Connections::Request);
        else if (rest == "callback")
            host_.dropConnections(ServiceHost::Connections::Callback);
        else if (rest == "all")
            host_.dropConnections(ServiceHost::Connections::All);
        else
            return {err("usage: drop request|callback|all"), {}};
        return {"ok", {}};
    }
    if (word == "stall") {
        int ms = 0;
        if (!toInt(rest, 0, kMaxStallMs, &ms))
            return {err(QStringLiteral("usage: stall <ms 0-%1>").arg(kMaxStallMs)), {}};
        return {"ok", [ms] { QThread::msleep(static_cast<unsigned long>(ms)); }};
    }
    if (word == "script") {
        const int split = rest.indexOf(' ');
        if (split <= 0)
            return {err("usage: script <type> <json>"), {}};
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(rest.mid(split + 1), &parseError);
        if (parseError.error != QJsonParseError::NoError)
            return {err("script: " + parseError.errorString()), {}};
        QString error;
        const auto script = CommandScript::fromJson(doc.object(), &error);
        if (!script || !doc.isObject())
            return {err(doc.isObject() ? error : QStringLiteral("script: expected an object")), {}};
        host_.setScript(QString::fromUtf8(rest.left(split)), *script);
        return {"ok", {}};
    }
    if (word == "unscript") {
        if (!host_.removeScript(QString::fromUtf8(rest)))
            return {err("no script for " + QString::fromUtf8(rest)), {}};
        return {"ok", {}};
    }
    if (word == "requests") {
        const QList<QByteArray> requests = host_.requests();
        QByteArray answer = "ok " + QByteArray::number(requests.size());
        for (const QByteArray& request : requests)
            answer.append('\n').append(request);
        return {answer, {}};
    }
    if (word == "clear") {
        host_.clearRequests();
        return {"ok", {}};
    }
    if (word == "clients") {
        return {"ok " + QByteArray::number(host_.requestConnectionCount()) + ' ' +
                    QByteArray::number(host_.callbackConnectionCount()),
                {}};
    }
    if (word == "devices") {
        const QList<QByteArray> ids = simulator_.deviceIds();
        return {ids.isEmpty() ? QByteArray("ok") : "ok " + ids.join(' '), {}};
    }
    if (word == "notices") {
        int line = 0;
        if (!toInt(rest, 0, std::numeric_limits<int>::max(), &line))
            return {err("usage: notices <line>"), {}};
        if (!host_.releaseReplayNotices(line))
            return {err("notices: not a paced replay"), {}};
        return {"ok", {}};
    }
    if (word == "help")
        return {kHelp, {}};
    return {err("unknown command \"" + QString::fromUtf8(escapeC(word)) + "\"; try help"), {}};
}

}  // namespace omnivue
