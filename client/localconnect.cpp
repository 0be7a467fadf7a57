#include "localconnect.h"

#include "platform.h"

#include <QElapsedTimer>
#include <QLocalSocket>

namespace quarn::tellan_api {

bool connectWithin(QLocalSocket& socket, const QString& name, qint64 waitMs, qint64 pauseMs,
                   const std::function<bool()>& keepTrying) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        socket.connectToServer(name, QIODevice::ReadWrite);
        const qint64 left = waitMs - clock.elapsed();
        if (socket.waitForConnected(static_cast<int>(qMax<qint64>(left, 0))))
            return true;
        if (clock.elapsed() + pauseMs >= waitMs || (keepTrying && !keepTrying()))
            return false;
        socket.abort();
        platform::idleSleep(static_cast<int>(pauseMs));
    }
}

}  // namespace quarn::tellan_api
