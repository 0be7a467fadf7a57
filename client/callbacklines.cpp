#include "callbacklines.h"

#include "apicontroller.h"
#include "recorder.h"

#include <QtDebug>

namespace quarn::tellan_api {

void dispatchCallbackLines(ApiController& controller, QByteArray& buffer, int searched) {
    // The lines handled are removed from the front once at the end: removing each in turn
    // would move the rest of a large read once per line.
    int start = 0;
    while (ApiController::listenerRunning.load()) {
        const int lineFeed = buffer.indexOf('\n', qMax(start, searched));
        if (lineFeed < 0)
            break;
        // An empty line's "type" is its own line feed; it has no payload either way.
        const int lineStart = start;
        const char type = buffer.at(start);
        const QByteArray payload =
            lineFeed - start >= 2 ? buffer.mid(start + 1, lineFeed - start - 1) : QByteArray();
        start = lineFeed + 1;
        if (payload.isEmpty() || type < '0' || type > '4') {
            // The handlers record the lines they handle, once the registry has changed.
            if (recording::on())
                recording::notice(buffer.constData() + lineStart, lineFeed - lineStart);
            qWarning().noquote() << "Received unknown API callback:" << type << payload;
        } else if (type == '0') {
            controller.onDeviceArrived(payload);
        } else if (type == '1') {
            controller.onDeviceLost(payload);
        } else {
            controller.onDeviceEvent(type - '0', payload);
        }
    }
    buffer.remove(0, start);
}

}  // namespace quarn::tellan_api
