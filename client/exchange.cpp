// The request/reply exchange on the request socket: NUL-framed compact JSON in both directions,
// one request outstanding at a time.
#include "apicontroller.h"
#include "errors.h"
#include "protocolkeys.h"
#include "recorder.h"

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

// The fixed text around a request's two members, in the ascending key order of the JSON
// writer: {"body":<body>,"type":<type>}.
constexpr char kBodyMember[] = "{\"body\":";
constexpr char kTypeMember[] = ",\"type\":";

// Appends `text` as a JSON string exactly as QJsonDocument writes one (the same escapes, UTF-8,
// a lone surrogate as \uXXXX), without building a document around it.
void appendJsonString(QByteArray& out, const QString& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const QChar* p = text.constData();
    const QChar* const end = p + text.size();
    for (; p != end; ++p) {
        const ushort u = p->unicode();
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                out += char(u);
                continue;
            }
            out += '\\';
            switch (u) {
                case '"':
                case '\\':
                    out += char(u);
                    break;
                case '\b':
                    out += 'b';
                    break;
                case '\f':
                    out += 'f';
                    break;
                case '\n':
                    out += 'n';
                    break;
                case '\r':
                    out += 'r';
                    break;
                case '\t':
                    out += 't';
                    break;
                default:
                    out += "u00";
                    out += hex[u >> 4];
                    out += hex[u & 0xf];
                    break;
            }
        } else if (u < 0x800) {
            out += char(0xc0 | (u >> 6));
            out += char(0x80 | (u & 0x3f));
        } else if (!QChar::isSurrogate(u)) {
            out += char(0xe0 | (u >> 12));
            out += char(0x80 | ((u >> 6) & 0x3f));
            out += char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && p + 1 != end && p[1].isLowSurrogate()) {
            const uint c = QChar::surrogateToUcs4(u, p[1].unicode());
            ++p;
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += "\\u";
            out += hex[u >> 12];
            out += hex[(u >> 8) & 0xf];
            out += hex[(u >> 4) & 0xf];
            out += hex[u & 0xf];
        }
    }
    out += '"';
}

}  // namespace

// String and object bodies (all that the commands send) go in without a request document around
// them; any other body goes through the JSON writer whole. The bytes are Qt's compact text on
// 5.11 to 5.15 (fuzz/request_writer.cpp holds them to it) but for one input: 5.11's object store
// cannot hold a string of 2^26 UTF-16 units or more and drops it, where this writes it whole,
// as 5.15 does.
void ApiController::writeRequest(QByteArray& out, const QString& type, const QJsonValue& body) {
    // Reserved, the buffer keeps its storage when emptied, so requests reuse it.
    out.reserve(qMax(out.capacity(), 256));
    out.resize(0);
    if (body.isString()) {
        out += kBodyMember;
        appendJsonString(out, body.toString());
    } else if (body.isObject()) {
        out += kBodyMember;
        out += QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    } else {
        QJsonObject request;
        request.insert(keys::type, type);
        request.insert(keys::body, body);
        out += QJsonDocument(request).toJson(QJsonDocument::Compact);
        out += kTerminator;
        return;
    }
    out += kTypeMember;
    appendJsonString(out, type);
    out += '}';
    out += kTerminator;
}

QJsonValue ApiController::sendRequest(const QString& type, const QJsonValue& body,
                                      int32_t timeoutMs) {
    sendRequestFrame(type, body);
    return readReply(timeoutMs);
}

void ApiController::sendRequestFrame(const QString& type, const QJsonValue& body) {
    if (requestSocket.state() != QLocalSocket::ConnectedState)
        throw APIException(CROP_ASSIST_NOT_INITIALIZED, "Server disconnected");

    writeRequest(requestText, type, body);
    if (recording::on())
        recording::requestSent(requestText.constData(), requestText.size() - 1);

    // Write failures are not examined here: a broken connection shows itself in the read.
    requestSocket.write(requestText);
    requestSocket.flush();
    requestSocket.waitForBytesWritten(kWriteWaitMs);
}

QJsonValue ApiController::readReply(int32_t timeoutMs) {
    const QByteArray text = readMessage(timeoutMs);

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw APIException(CROP_ASSIST_FAILURE, parseError.errorString().toStdString());
    if (!document.isObject())
        throw APIException(CROP_ASSIST_FAILURE, "Expected single Object");

    const QJsonObject reply = document.object();
    const auto codeIt = reply.constFind(keys::code);
    const auto errIt = reply.constFind(keys::err);
    if (codeIt == reply.constEnd() || errIt == reply.constEnd())
        throw APIException(CROP_ASSIST_FAILURE, "Missing root mandatory field");

    const int code = codeIt.value().toInt(0);
    if (code != 0)
        throw APIException(code, errIt.value().toString().toUtf8().toStdString());

    const auto replyIt = reply.constFind(keys::reply);
    if (replyIt == reply.constEnd())
        throw APIException(CROP_ASSIST_FAILURE, "Missing API reply");
    return replyIt.value();
}

QByteArray ApiController::readMessage(int32_t timeoutMs) {
    QElapsedTimer clock;
    clock.start();

    int end = readBuffer.indexOf(kTerminator);
    while (end < 0) {
        if (timeoutMs > 0 && clock.elapsed() > timeoutMs)
            throw APIException(CROP_ASSIST_FAILURE, "API message read timeout");

        if (requestSocket.bytesAvailable() <= 0) {
            requestSocket.waitForReadyRead(kReadWaitMs);
            // Bytes that came with a disconnection are still taken before the loss counts.
            if (requestSocket.bytesAvailable() <= 0) {
                if (requestSocket.state() != QLocalSocket::ConnectedState)
                    throw APIException(CROP_ASSIST_NOT_INITIALIZED,
                                       "Failed to start read API reply - socket not connected");
                continue;
            }
        }

        const int chunk =
            static_cast<int>(qMin<qint64>(requestSocket.bytesAvailable(), kMaxMessageBytes));
        const int oldSize = readBuffer.size();
        readBuffer.resize(oldSize + chunk);
        if (readBuffer.size() != oldSize + chunk) {
            readBuffer.resize(oldSize);
            throw APIException(CROP_ASSIST_FAILURE, "Failed to resize read buffer");
        }
        if (readBuffer.size() > kMaxMessageBytes) {
            readBuffer.resize(oldSize);
            throw APIException(CROP_ASSIST_FAILURE, "Too much unstructured data from server");
        }

        const qint64 received = requestSocket.read(readBuffer.data() + oldSize, chunk);
        if (received < 0) {
            readBuffer.resize(oldSize);
            qCritical().noquote() << static_cast<int>(requestSocket.error())
                                  << requestSocket.errorString();
            throw APIException(CROP_ASSIST_NOT_INITIALIZED, "Failed to read API reply");
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
    if (recording::on())
        recording::replyRead(frame);
    return frame;
}

}  // namespace quarn::tellan_api
