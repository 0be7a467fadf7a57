#include "servicework.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cstring>

namespace bench {

QByteArray ServiceWork::answer(const QByteArray& frame) {
    QJsonParseError parseError;
    const QJsonDocument request = QJsonDocument::fromJson(frame, &parseError);
    // The service keeps every request in compact form for its control channel.
    recorded_ = request.toJson(QJsonDocument::Compact);
    const QJsonObject object = request.object();
    const omnivue::ServiceReply reply = simulator_.handle(
        object.value(QStringLiteral("type")).toString(), object.value(QStringLiteral("body")));
    QJsonObject envelope;
    envelope.insert(QStringLiteral("code"), reply.code);
    envelope.insert(QStringLiteral("err"), reply.err);
    envelope.insert(QStringLiteral("reply"), reply.reply);
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact).append('\0');
}

QByteArray ServiceWork::requestFrame(const QString& type, const QJsonValue& body) {
    return QJsonDocument(
               QJsonObject{{QStringLiteral("type"), type}, {QStringLiteral("body"), body}})
        .toJson(QJsonDocument::Compact);
}

QByteArray ServiceWork::frameRequest(const SyntheticFrame& frame, const QString& device) {
    const int size = static_cast<int>(frame.pixels.size());
    segment_ =
        std::make_unique<QSharedMemory>(QStringLiteral("FCA42") + QUuid::createUuid().toString());
    if (!segment_->create(size))
        return QByteArray();
    std::memcpy(segment_->data(), frame.pixels.data(), frame.pixels.size());
    const QJsonObject body{
        {QStringLiteral("dataname"), segment_->nativeKey()},
        {QStringLiteral("datasize"), size},
        {QStringLiteral("height"), static_cast<int>(frame.height)},
        {QStringLiteral("pixfmt"), TELLAN_PIXFMT_YUYV},
        {QStringLiteral("sn"), device},
        {QStringLiteral("width"), static_cast<int>(frame.width)},
    };
    return requestFrame(QStringLiteral("processframe"), body);
}

}  // namespace bench
