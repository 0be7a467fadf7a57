#include "requestsession.h"

#include "servicelog.h"
#include "textescape.h"

#include <QLocalSocket>
#include <QTimer>

namespace omnivue {

RequestSession::RequestSession(QLocalSocket* socket, Responder responder, QObject* parent)
    : QObject(parent), socket_(socket), responder_(std::move(responder)) {
    socket_->setParent(this);
    connect(socket_, &QLocalSocket::readyRead, this, &RequestSession::readIncoming);
    connect(socket_, &QLocalSocket::disconnected, this, &RequestSession::finish);
    // Bytes may have come with the connection, before readyRead was connected.
    QTimer::singleShot(0, this, &RequestSession::readIncoming);
}

void RequestSession::drop() {
    socket_->abort();
    finish();
}

void RequestSession::finish() {
    if (closed_)
        return;
    closed_ = true;
    busy_ = true;  // nothing more is answered
    emit closed(this);
}

void RequestSession::readIncoming() {
    if (closed_)
        return;
    buffer_.append(socket_->readAll());
    processFrames();
}

void RequestSession::processFrames() {
    while (!busy_) {
        const int end = buffer_.indexOf('\0', scanned_);
        if (end < 0) {
            scanned_ = buffer_.size();
            if (buffer_.size() > kMaxPendingBytes) {
                qCWarning(lcService) << "Dropping a request connection: more than"
                                     << kMaxPendingBytes << "bytes without a terminator";
                drop();
            }
            return;
        }
        const QByteArray frame = buffer_.left(end);
        buffer_.remove(0, end + 1);
        scanned_ = 0;
        const bool first = first_;
        first_ = false;
        carryOut(responder_(frame, first));
    }
}

void RequestSession::carryOut(const Answer& answer) {
    if (answer.kind == Answer::Kind::Hold) {
        busy_ = true;
        return;
    }
    if (answer.delayMs > 0) {
        busy_ = true;
        // The session is the timer's context: a connection that ends meanwhile cancels it.
        QTimer::singleShot(answer.delayMs, this, [this, answer] {
            if (closed_)
                return;
            Answer now = answer;
            now.delayMs = 0;
            busy_ = false;
            carryOut(now);
            processFrames();
        });
        return;
    }
    switch (answer.kind) {
        case Answer::Kind::Reply:
            qCDebug(lcService).noquote() << "Answer" << escapeC(answer.bytes.left(200));
            socket_->write(answer.bytes);
            break;
        case Answer::Kind::Drop:
            drop();
            break;
        case Answer::Kind::Crash:
            emit crashRequested();
            break;
        case Answer::Kind::Hold:
            break;
    }
}

}  // namespace omnivue
