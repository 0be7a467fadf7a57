// Test seam: reaches ApiController's private members (it is the friend the class declares).
#pragma once

#include "apicontroller.h"

namespace quarn::tellan_api {

struct ApiControllerTestPeer {
    static QLocalSocket& requestSocket(ApiController& c) { return c.requestSocket; }
    static QByteArray& readBuffer(ApiController& c) { return c.readBuffer; }
    static std::map<QByteArray, DeviceRecord>& devices(ApiController& c) { return c.devices; }
    static std::deque<QByteArray>& pendingDevices(ApiController& c) { return c.pendingDevices; }
    static std::vector<TellanROI>& lastRois(ApiController& c) { return c.lastRois; }
    static qint64& startAttemptMs(ApiController& c) { return c.startAttemptMs; }
};

}  // namespace quarn::tellan_api
