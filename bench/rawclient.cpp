#include "rawclient.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

namespace bench {

namespace {

constexpr int kWaitMs = 10000;

}  // namespace

bool RawRequestClient::connectTo(const QString& suffix, QString* error) {
    socket_.connectToServer(QStringLiteral("ZuzoRerazuIO_") + suffix);
    if (socket_.waitForConnected(kWaitMs))
        return true;
    *error = QStringLiteral("cannot connect the baseline client: ") + socket_.errorString();
    return false;
}

QJsonValue RawRequestClient::roundTrip(const QString& type, const QJsonValue& body) {
    QByteArray request =
        QJsonDocument(QJsonObject{{QStringLiteral("type"), type}, {QStringLiteral("body"), body}})
            .toJson(QJsonDocument::Compact);
    request.append('\0');
    socket_.write(request);
    socket_.flush();

    const QJsonObject reply = QJsonDocument::fromJson(readFrame()).object();
    if (reply.value(QStringLiteral("code")).toInt() != 0)
        throw std::runtime_error(reply.value(QStringLiteral("err")).toString().toStdString());
    return reply.value(QStringLiteral("reply"));
}

QByteArray RawRequestClient::readFrame() {
    int end;
    while ((end = pending_.indexOf('\0')) < 0) {
        if (socket_.bytesAvailable() <= 0 && !socket_.waitForReadyRead(kWaitMs))
            throw std::runtime_error("baseline client: no reply: " +
                                     socket_.errorString().toStdString());
        pending_.append(socket_.readAll());
    }
    QByteArray frame = pending_.left(end);
    pending_.remove(0, end + 1);
    return frame;
}

}  // namespace bench
