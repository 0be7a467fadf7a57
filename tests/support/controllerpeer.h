// Test seam: reaches ApiController's private members (it is the friend the class declares).
#pragma once

#include "apicontroller.h"

#include <memory>

namespace quarn::tellan_api {

struct ApiControllerTestPeer {
    // Installs a controller that was built without start-up; the previous one is destroyed.
    static void install(std::unique_ptr<ApiController> controller) {
        delete ApiController::exchangeInstance(controller.release());
    }
    static QLocalSocket& requestSocket(ApiController& c) { return c.requestSocket; }
    static QByteArray& readBuffer(ApiController& c) { return c.readBuffer; }
    static std::map<QByteArray, DeviceRecord>& devices(ApiController& c) { return c.devices; }
    static std::deque<QByteArray>& pendingDevices(ApiController& c) { return c.pendingDevices; }
    static std::vector<TellanROI>& lastRois(ApiController& c) { return c.lastRois; }
    static qint64& startAttemptMs(ApiController& c) { return c.startAttemptMs; }
};

}  // namespace quarn::tellan_api
