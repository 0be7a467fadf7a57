// DeviceSimulator: the simulated cameras of the stand-in service and their crop-assist state.
// It answers every device command of the request protocol; the service host frames the answers.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <map>
#include <memory>

namespace omnivue {

// One answer: written on the wire as {"code": code, "err": err, "reply": reply}.
struct ServiceReply {
    int code = 0;
    QString err;
    QJsonValue reply;  // Null when the command has no value to return
};

class DeviceSimulator {
public:
    DeviceSimulator();  // the default set of two cameras

    // Replaces the devices with the ones described in `devices` (scenario format, see README).
    // Returns false and sets `error` when the description is malformed.
    bool loadDevices(const QJsonArray& devices, QString* error);

    // Answers one request of type `type` with body `body`. Unknown types and unknown devices get
    // a non-zero code of the service's own with an "err" text.
    ServiceReply handle(const QString& type, const QJsonValue& body);

    // Device identifiers ("sn") in announcement order.
    QList<QByteArray> deviceIds() const;
    // Adds a device (name and id derived from sn) unless it exists; true when added.
    bool addDevice(const QByteArray& sn);
    // Removes a device; true when it existed.
    bool removeDevice(const QByteArray& sn);

private:
    struct Device;
    struct State;
    std::shared_ptr<State> d;
};

}  // namespace omnivue
