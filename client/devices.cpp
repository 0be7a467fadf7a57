// The device registry: announced identifiers are fetched lazily with "gdevi" before a listing or
// a lookup, and the answers are handed to the host from storage the controller keeps alive.
#include "apicontroller.h"
#include "errors.h"
#include "protocolkeys.h"
#include "recorder.h"

#include <QJsonObject>

#include <cstring>

namespace quarn::tellan_api {

void ApiController::fetchDeviceInfo(const QByteArray& identifier) {
    if (recording::on())
        recording::fetchBegins(identifier);
    const QJsonValue reply =
        sendRequest(keys::getDeviceInfo, QJsonValue(QString::fromUtf8(identifier)), kNoTimeout);
    if (!reply.isObject())
        throw APIException(CROP_ASSIST_FAILURE, "GET_DEVICE_INFO: Expected single Object");

    const QJsonObject info = reply.toObject();
    const QJsonValue sn = info.value(keys::sn);
    const QJsonValue name = info.value(keys::name);
    const QJsonValue id = info.value(keys::id);
    if (!sn.isString() || !name.isString() || !id.isString())
        throw APIException(CROP_ASSIST_FAILURE, "GET_DEVICE_INFO: got device but unknown info");

    // Filed under the service's "sn", which may differ from the identifier asked for.
    DeviceRecord record{sn.toString().toUtf8(), name.toString().toUtf8(), id.toString().toUtf8()};
    const QByteArray key = record.sn;
    devices[key] = std::move(record);
}

void ApiController::fetchPendingDevices() {
    // The caller's hold spans the exchanges: arrivals and losses wait for the queue to settle.
    while (!pendingDevices.empty()) {
        // A failed fetch leaves its identifier at the head, to be retried by the next caller.
        const QByteArray identifier = pendingDevices.front();
        fetchDeviceInfo(identifier);
        pendingDevices.pop_front();
    }
}

const std::vector<TellanDeviceInfo>* ApiController::getDevices() {
    std::vector<DeviceRecord> snapshot;
    {
        // One hold from the fetches to the snapshot: no arrival or loss falls between them.
        std::lock_guard<std::recursive_mutex> lock(devicesMutex);
        fetchPendingDevices();
        snapshot.reserve(devices.size());
        for (const auto& entry : devices)
            snapshot.push_back(entry.second);
    }
    deviceSnapshot = std::move(snapshot);

    deviceInfos.resize(deviceSnapshot.size());
    for (size_t i = 0; i < deviceSnapshot.size(); ++i) {
        const DeviceRecord& record = deviceSnapshot[i];
        deviceInfos[i] =
            TellanDeviceInfo{record.sn.constData(), record.name.constData(), record.id.constData()};
    }
    return &deviceInfos;
}

TellanDeviceInfo ApiController::getDeviceInfo(const char* sn) {
    {
        std::lock_guard<std::recursive_mutex> lock(devicesMutex);
        fetchPendingDevices();
        // The host's string is only read here, so it is not copied.
        const auto found =
            devices.find(QByteArray::fromRawData(sn, static_cast<int>(std::strlen(sn))));
        if (found == devices.end())
            throw APIException(CROP_ASSIST_DEVICE_NOT_FOUND, "GetDeviceInfo: device not found");
        lastDeviceInfo = found->second;
    }
    return TellanDeviceInfo{lastDeviceInfo.sn.constData(), lastDeviceInfo.name.constData(),
                            lastDeviceInfo.id.constData()};
}

}  // namespace quarn::tellan_api
