// The hand-written baseline client: NUL-framed compact JSON requests and replies over a
// QLocalSocket, used on the thread that owns it, with no library code in the path. It is what a
// host without the library would write, and the yardstick of the per-call figures.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QLocalSocket>
#include <QString>

namespace bench {

class RawRequestClient {
public:
    // Connects to the request server of the service whose socket name suffix is `suffix`.
    bool connectTo(const QString& suffix, QString* error);

    // Sends one request and returns the "reply" member of its answer. Throws std::runtime_error
    // when the service answers with a failure code or the connection breaks.
    QJsonValue roundTrip(const QString& type, const QJsonValue& body);

private:
    QByteArray readFrame();

    QLocalSocket socket_;
    QByteArray pending_;
};

}  // namespace bench
