#include "servicehost.h"

#include "serverlisten.h"
#include "servicelog.h"
#include "textescape.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTimer>
#include <QUuid>

#include <algorithm>

namespace omnivue {

namespace {

const QString kRequestPrefix = QStringLiteral("ZuzoRerazuIO_");
const QString kCallbackPrefix = QStringLiteral("ZuzoRerazuO_");
constexpr int kLoggedFrameBytes = 200;

QByteArray frameOf(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).append('\0');
}

// The reply frame, with a script's overrides and omissions applied when there is one.
QByteArray envelope(const ServiceReply& reply, const CommandScript* script) {
    QJsonObject object;
    if (!script || !script->omitCode)
        object.insert("code", script && script->code ? *script->code : reply.code);
    if (!script || !script->omitErr)
        object.insert("err", script && script->err ? *script->err : reply.err);
    if (!script || !script->omitReply)
        object.insert("reply", script && script->reply ? *script->reply : reply.reply);
    return frameOf(object);
}

QByteArray shortened(const QByteArray& frame) {
    const QByteArray text = escapeC(frame.left(kLoggedFrameBytes));
    return frame.size() > kLoggedFrameBytes ? text + "..." : text;
}

}  // namespace

ServiceHost::ServiceHost(QString suffix, DeviceSimulator& simulator, const Scenario& scenario,
                         QObject* parent)
    : QObject(parent),
      suffix_(std::move(suffix)),
      simulator_(simulator),
      startup_(scenario.startup),
      ahshReply_(scenario.ahshReply),
      scripts_(scenario.commands) {
    connect(&requestServer_, &QLocalServer::newConnection, this,
            &ServiceHost::acceptRequestConnections);
    connect(&callbackServer_, &QLocalServer::newConnection, this,
            &ServiceHost::acceptCallbackConnections);
}

ServiceHost::~ServiceHost() {
    close();
}

bool ServiceHost::listen(QString* error) {
    if (!listenExclusive(requestServer_, kRequestPrefix + suffix_, error))
        return false;
    qCInfo(lcService).noquote() << "Serving requests on" << requestServer_.fullServerName();
    if (startup_.noCallbackServer) {
        qCInfo(lcService) << "No callback server, as the scenario asks";
        return true;
    }
    if (!listenExclusive(callbackServer_, kCallbackPrefix + suffix_, error)) {
        requestServer_.close();
        return false;
    }
    qCInfo(lcService).noquote() << "Serving callbacks on" << callbackServer_.fullServerName();
    return true;
}

void ServiceHost::close() {
    stopListening();
    dropConnections(Connections::All);
}

void ServiceHost::stopListening() {
    requestServer_.close();
    callbackServer_.close();
}

void ServiceHost::broadcast(const QByteArray& bytes) {
    // Sent now rather than when control returns to the event loop: a notice must not wait for
    // the answer that follows it, nor for a later turn of the loop. A write to a client that has
    // gone reports the loss at once, which forgets the socket: so walk a copy.
    const auto sockets = callbackSockets_;
    for (QLocalSocket* socket : sockets) {
        if (socket->state() != QLocalSocket::ConnectedState)
            continue;
        socket->write(bytes);
        socket->flush();
    }
}

void ServiceHost::dropConnections(Connections which) {
    if (which != Connections::Callback) {
        // Dropping a session removes it from sessions_, so walk a copy.
        const auto sessions = sessions_;
        for (RequestSession* session : sessions)
            session->drop();
    }
    if (which != Connections::Request) {
        const auto sockets = callbackSockets_;
        for (QLocalSocket* socket : sockets) {
            socket->abort();
            forgetCallbackSocket(socket);
        }
    }
}

void ServiceHost::setScript(const QString& type, const CommandScript& script) {
    scripts_[type] = script;
}

bool ServiceHost::removeScript(const QString& type) {
    return scripts_.erase(type) > 0;
}

QList<QByteArray> ServiceHost::requests() const {
    QList<QByteArray> out;
    out.reserve(static_cast<int>(requests_.size()));
    for (const QByteArray& request : requests_)
        out.append(request);
    return out;
}

void ServiceHost::clearRequests() {
    requests_.clear();
}

void ServiceHost::acceptRequestConnections() {
    while (QLocalSocket* socket = requestServer_.nextPendingConnection()) {
        auto* session = new RequestSession(
            socket, [this](const QByteArray& frame, bool first) { return respond(frame, first); },
            this);
        connect(session, &RequestSession::closed, this, &ServiceHost::forgetSession);
        connect(session, &RequestSession::crashRequested, this, &ServiceHost::crashRequested);
        sessions_.push_back(session);
        qCInfo(lcService) << "Request connection opened; now" << sessions_.size();
    }
}

void ServiceHost::acceptCallbackConnections() {
    while (QLocalSocket* socket = callbackServer_.nextPendingConnection()) {
        socket->setParent(this);
        callbackSockets_.push_back(socket);
        // The library never writes here; whatever comes is read and thrown away.
        connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { forgetCallbackSocket(socket); });
        if (replay_) {
            startReplayNotices();
            continue;
        }
        QByteArray lines;
        for (const QByteArray& sn : simulator_.deviceIds())
            lines.append('0').append(sn).append('\n');
        socket->write(lines);
        qCInfo(lcService) << "Callback connection opened; now" << callbackSockets_.size();
    }
}

void ServiceHost::forgetSession(RequestSession* session) {
    const auto it = std::find(sessions_.begin(), sessions_.end(), session);
    if (it == sessions_.end())
        return;
    sessions_.erase(it);
    session->deleteLater();
    qCInfo(lcService) << "Request connection closed; now" << sessions_.size();
}

void ServiceHost::forgetCallbackSocket(QLocalSocket* socket) {
    const auto it = std::find(callbackSockets_.begin(), callbackSockets_.end(), socket);
    if (it == callbackSockets_.end())
        return;
    callbackSockets_.erase(it);
    socket->deleteLater();
    qCInfo(lcService) << "Callback connection closed; now" << callbackSockets_.size();
}

Answer ServiceHost::respond(const QByteArray& frame, bool first) {
    // A host that started the service opens with its suffix, a braced UUID, instead of JSON.
    const bool handshake =
        first && (frame == suffix_.toUtf8() ||
                  (frame.size() == 38 && frame.startsWith('{') && !QUuid(frame).isNull()));
    if (replay_) {
        const Answer answer = replay_->answer(frame, handshake);
        const QList<QByteArray> due = replay_->takeNoticesDue();
        // After the session has written the answer, as they followed it when recorded.
        if (!due.isEmpty())
            QTimer::singleShot(0, this, [this, due] { sendReplayNotices(due); });
        return answer;
    }
    return handshake ? answerHandshake(frame) : answerRequest(frame);
}

bool ServiceHost::releaseReplayNotices(int line) {
    if (!replay_ || !replay_->paced())
        return false;
    sendReplayNotices(replay_->takeNoticesBefore(line));
    return true;
}

void ServiceHost::sendReplayNotices(const QList<QByteArray>& lines) {
    if (callbackSockets_.empty()) {
        replayQueue_.append(lines);
        return;
    }
    for (const QByteArray& line : lines)
        broadcast(line);
}

void ServiceHost::startReplayNotices() {
    const QList<QByteArray> queued = replayQueue_;
    replayQueue_.clear();
    if (replayNoticesStarted_) {
        sendReplayNotices(queued);
        return;
    }
    replayNoticesStarted_ = true;
    QList<QByteArray> now;
    for (const ReplayNotice& notice : replay_->initialNotices()) {
        if (!replay_->timed()) {
            now.append(notice.line);
            continue;
        }
        const QByteArray line = notice.line;
        const int delayMs = static_cast<int>(notice.time / 1000.0 / replay_->speed());
        QTimer::singleShot(qMax(0, delayMs), this, [this, line] { sendReplayNotices({line}); });
    }
    sendReplayNotices(now + queued);
}

Answer ServiceHost::answerHandshake(const QByteArray& frame) {
    if (startup_.holdHandshake) {
        qCInfo(lcService) << "Holding the raw handshake unanswered, as the scenario asks";
        return {Answer::Kind::Hold, {}, 0};
    }
    const bool match = frame == suffix_.toUtf8();
    QByteArray text = match ? QByteArrayLiteral("ok") : QByteArrayLiteral("denied");
    if (startup_.handshakeReply)
        text = *startup_.handshakeReply;
    qCInfo(lcService).noquote() << "Raw handshake with"
                                << (match ? QByteArrayLiteral("our suffix") : shortened(frame))
                                << "answered" << shortened(text);
    return {Answer::Kind::Reply, text.append('\0'), startup_.handshakeDelayMs};
}

Answer ServiceHost::answerRequest(const QByteArray& frame) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(frame, &parseError);
    const bool valid = parseError.error == QJsonParseError::NoError;
    record(frame, doc, valid);
    const QJsonValue type = doc.object().value("type");
    if (!valid || !doc.isObject() || !type.isString()) {
        qCWarning(lcService).noquote() << "Malformed request:" << shortened(frame);
        ServiceReply reply;
        reply.code = kCodeBadRequest;
        reply.err = valid ? QStringLiteral("request: expected an object with a string \"type\"")
                          : QStringLiteral("request: ") + parseError.errorString();
        return {Answer::Kind::Reply, envelope(reply, nullptr), 0};
    }
    const QString typeName = type.toString();
    const QJsonValue body = doc.object().value("body");
    qCDebug(lcService).noquote() << "Request" << shortened(frame);

    const auto it = scripts_.find(typeName);
    if (it == scripts_.end())
        return {Answer::Kind::Reply, envelope(dispatch(typeName, body), nullptr), 0};

    const CommandScript script = it->second;
    if (it->second.times > 0 && --it->second.times == 0)
        scripts_.erase(it);
    qCInfo(lcService) << "Scripted answer for" << typeName;
    Answer answer;
    answer.delayMs = script.delayMs;
    if (script.crash) {
        answer.kind = Answer::Kind::Crash;
    } else if (script.drop) {
        answer.kind = Answer::Kind::Drop;
    } else if (script.raw) {
        answer.bytes = *script.raw;
        if (!script.rawNoNul)
            answer.bytes.append('\0');
    } else {
        answer.bytes = envelope(dispatch(typeName, body), &script);
    }
    return answer;
}

ServiceReply ServiceHost::dispatch(const QString& type, const QJsonValue& body) {
    if (type != QLatin1String("ahsh"))
        return simulator_.handle(type, body);
    // The JSON handshake of an attaching host: it must know our suffix.
    ServiceReply reply;
    reply.reply = ahshReply_ ? *ahshReply_ : QJsonValue(body.toString() == suffix_);
    qCInfo(lcService).noquote()
        << "Handshake \"ahsh\" answered"
        << QJsonDocument(QJsonObject{{"reply", reply.reply}}).toJson(QJsonDocument::Compact);
    return reply;
}

void ServiceHost::record(const QByteArray& frame, const QJsonDocument& parsed, bool valid) {
    const bool json = valid && (parsed.isObject() || parsed.isArray());
    requests_.push_back(json ? parsed.toJson(QJsonDocument::Compact) : escapeC(frame));
    while (requests_.size() > static_cast<size_t>(kMaxRecordedRequests))
        requests_.pop_front();
}

}  // namespace omnivue
