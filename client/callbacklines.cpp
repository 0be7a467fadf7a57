#include "callbacklines.h"

#include "apicontroller.h"

#include <QtDebug>

namespace quarn::tellan_api {

void dispatchCallbackLines(ApiController& controller, QByteArray& buffer) {
    while (ApiController::listenerRunning.load()) {
        const int lineFeed = buffer.indexOf('\n');
        if (lineFeed < 0)
            return;
        // An empty line's "type" is its own line feed; it has no payload either way.
        const char type = buffer.at(0);
        const QByteArray payload = lineFeed >= 2 ? buffer.mid(1, lineFeed - 1) : QByteArray();
        buffer.remove(0, lineFeed + 1);
        if (payload.isEmpty() || type < '0' || type > '4') {
            qWarning().noquote() << "Received unknown API callback:" << type << payload;
            continue;
        }
        switch (type) {
            case '0':
                controller.onDeviceArrived(payload);
                break;
            case '1':
                controller.onDeviceLost(payload);
                break;
            default:
                controller.onDeviceEvent(type - '0', payload);
                break;
        }
    }
}

}  // namespace quarn::tellan_api
