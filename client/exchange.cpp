// The request/reply exchange on the request socket: NUL-framed compact JSON in both directions,
// one request outstanding at a time.
#include "apicontroller.h"
#include "errors.h"
#include "protocolkeys.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QtGlobal>

namespace quarn::tellan_api {

namespace {

constexpr int kWriteWaitMs = 10000;
constexpr int kReadWaitMs = 300;
constexpr char kTerminator = '\0';

}  // namespace

QJsonValue ApiController::sendRequest(const QString& type, const QJsonValue& body,
                                      int32_t timeoutMs) {
    if (requestSocket.state() != QLocalSocket::ConnectedState)
        throw APIException(99, "Server disconnected");

    QJsonObject request;
    request.insert(keys::type, type);
    request.insert(keys::body, body);
    const QByteArray text = QJsonDocument(request).toJson(QJsonDocument::Compact);

    // Write failures are not examined here: a broken connection shows itself in the read.
    requestSocket.write(text);
    requestSocket.write(&kTerminator, 1);
    requestSocket.flush();
    requestSocket.waitForBytesWritten(kWriteWaitMs);

    return readReply(timeoutMs);
}

QJsonValue ApiController::readReply(int32_t timeoutMs) {
    const QByteArray text = readMessage(timeoutMs);

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw APIException(100, parseError.errorString().toStdString());
    if (!document.isObject())
        throw APIException(100, "Expected single Object");

    const QJsonObject reply = document.object();
    const auto codeIt = reply.constFind(keys::code);
    const auto errIt = reply.constFind(keys::err);
    if (codeIt == reply.constEnd() || errIt == reply.constEnd())
        throw APIException(100, "Missing root mandatory field");

    const int code = codeIt.value().toInt(0);
    if (code != 0)
        throw APIException(code, errIt.value().toString().toUtf8().toStdString());

    const auto replyIt = reply.constFind(keys::reply);
    if (replyIt == reply.constEnd())
        throw APIException(100, "Missing API reply");
    return replyIt.value();
}

QByteArray ApiController::readMessage(int32_t timeoutMs) {
    QElapsedTimer clock;
    clock.start();

    int end = readBuffer.indexOf(kTerminator);
    while (end < 0) {
        if (timeoutMs > 0 && clock.elapsed() > timeoutMs)
            throw APIException(100, "API message read timeout");

        if (requestSocket.bytesAvailable() <= 0) {
            requestSocket.waitForReadyRead(kReadWaitMs);
            // Bytes that came with a disconnection are still taken before the loss counts.
            if (requestSocket.bytesAvailable() <= 0) {
                if (requestSocket.state() != QLocalSocket::ConnectedState)
                    throw APIException(99, "Failed to start read API reply - socket not connected");
                continue;
            }
        }

        const int chunk =
            static_cast<int>(qMin<qint64>(requestSocket.bytesAvailable(), kMaxUnstructuredBytes));
        const int oldSize = readBuffer.size();
        readBuffer.resize(oldSize + chunk);
        if (readBuffer.size() != oldSize + chunk) {
            readBuffer.resize(oldSize);
            throw APIException(100, "Failed to resize read buffer");
        }
        if (readBuffer.size() > kMaxUnstructuredBytes) {
            readBuffer.resize(oldSize);
            throw APIException(100, "Too much unstructured data from server");
        }

        const qint64 received = requestSocket.read(readBuffer.data() + oldSize, chunk);
        if (received < 0) {
            readBuffer.resize(oldSize);
            qCritical().noquote() << static_cast<int>(requestSocket.error())
                                  << requestSocket.errorString();
            throw APIException(99, "Failed to read API reply");
        }
        if (received < chunk) {
            qWarning("Received less data than expected from API server");
            readBuffer.resize(oldSize + static_cast<int>(received));
        }

        // Only the bytes just appended can hold a terminator not seen before.
        end = readBuffer.indexOf(kTerminator, oldSize);
    }

    QByteArray frame = readBuffer.left(end);
    readBuffer.remove(0, end + 1);
    return frame;
}

}  // namespace quarn::tellan_api
