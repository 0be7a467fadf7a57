#include "serverlisten.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace omnivue {

bool listenExclusive(QLocalServer& server, const QString& name, QString* error) {
    {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(200)) {
            *error = QStringLiteral("%1 is already served by another process").arg(name);
            return false;
        }
    }
    QLocalServer::removeServer(name);
    if (!server.listen(name)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(name, server.errorString());
        return false;
    }
    return true;
}

}  // namespace omnivue
