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

// Failure codes of the stand-in service, sent as "code" together with an "err" text. They lie
// apart from the library's own codes (1, 2, 11, 97 to 100), so a host can tell who refused.
enum SimulatorCode : int {
    kCodeUnknownDevice = 3,    // no device with that sn
    kCodeUnsupportedMode = 4,  // "smode" with a mode the device does not support
    kCodeBadRequest = 5,       // a body of the wrong form or with members of the wrong type
    kCodeBadFrame = 6,         // "processframe" whose segment, format or size is not usable
    kCodeUnknownCommand = 7,   // a type that no command has
};

// One answer: written on the wire as {"code": code, "err": err, "reply": reply}.
struct ServiceReply {
    int code = 0;
    QString err;
    QJsonValue reply;  // Null when the command has no value to return
};

// Not thread-safe: the service uses it from its event-loop thread only. Copies share one state.
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
    struct State;
    std::shared_ptr<State> d;
};

}  // namespace omnivue
