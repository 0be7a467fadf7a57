#include "simulator.h"

#include "detector.h"
#include "framereader.h"
#include "jsonfields.h"
#include "simulateddevice.h"

#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <vector>

namespace omnivue {

struct DeviceSimulator::State {
    std::vector<SimulatedDevice> devices;  // announcement order
    bool uploadCrashReports = false;

    std::vector<SimulatedDevice>::iterator position(const QString& sn) {
        return std::find_if(devices.begin(), devices.end(),
                            [&sn](const SimulatedDevice& device) { return device.sn == sn; });
    }

    SimulatedDevice* find(const QString& sn) {
        const auto it = position(sn);
        return it == devices.end() ? nullptr : &*it;
    }
};

namespace {

ServiceReply success(const QJsonValue& value = QJsonValue()) {
    ServiceReply reply;
    reply.reply = value;
    return reply;
}

ServiceReply failure(int code, const QString& err) {
    ServiceReply reply;
    reply.code = code;
    reply.err = err;
    return reply;
}

ServiceReply badRequest(const QString& type, const QString& what) {
    return failure(kCodeBadRequest, QStringLiteral("%1: %2").arg(type, what));
}

// Commands whose body is the device name as a JSON string; they cannot fail once the device
// is found.
using NameCommand = QJsonValue (*)(SimulatedDevice&);

const std::map<QString, NameCommand>& nameCommands() {
    static const std::map<QString, NameCommand> commands = {
        {QStringLiteral("isenabled"), [](SimulatedDevice& d) { return QJsonValue(d.enabled); }},
        {QStringLiteral("gmode"), [](SimulatedDevice& d) { return QJsonValue(d.mode); }},
        {QStringLiteral("gemode"),
         [](SimulatedDevice& d) { return QJsonValue(d.effectiveMode()); }},
        {QStringLiteral("isaa"), [](SimulatedDevice& d) { return QJsonValue(d.adjustmentActive); }},
        {QStringLiteral("iszoomap"), [](SimulatedDevice& d) { return QJsonValue(d.autoZoom); }},
        {QStringLiteral("ghomept"),
         [](SimulatedDevice& d) {
             return QJsonValue(
                 QJsonObject{{QStringLiteral("p"), d.homePan}, {QStringLiteral("t"), d.homeTilt}});
         }},
        {QStringLiteral("shomeptc"),
         [](SimulatedDevice& d) {
             d.homePan = d.pan;
             d.homeTilt = d.tilt;
             return QJsonValue();
         }},
        {QStringLiteral("tshome"),
         [](SimulatedDevice& d) {
             d.pan = d.homePan;
             d.tilt = d.homeTilt;
             return QJsonValue();
         }},
        {QStringLiteral("lastrois"), [](SimulatedDevice& d) { return QJsonValue(d.lastRois); }},
        {QStringLiteral("gdevi"),
         [](SimulatedDevice& d) {
             return QJsonValue(QJsonObject{{QStringLiteral("sn"), d.sn},
                                           {QStringLiteral("name"), d.name},
                                           {QStringLiteral("id"), d.id}});
         }},
    };
    return commands;
}

ServiceReply setBool(const QString& type, const QJsonObject& body, bool* target) {
    if (!readBool(body.value(QStringLiteral("bval")), target)) {
        return badRequest(type, QStringLiteral("\"bval\" must be a boolean"));
    }
    return success();
}

ServiceReply readMode(const QString& type, const QJsonObject& body, int* mode) {
    if (!readInteger(body.value(QStringLiteral("mode")), mode)) {
        return badRequest(type, QStringLiteral("\"mode\" must be an integer"));
    }
    return success();
}

ServiceReply processFrame(const QString& type, SimulatedDevice& device, const QJsonObject& body) {
    FrameRequest request;
    QString error;
    if (!FrameRequest::fromJson(body, &request, &error)) {
        return badRequest(type, error);
    }
    std::vector<Region> regions;
    const auto detect = [&](const std::uint8_t* pixels) {
        regions = detectRegions(pixels, request.width, request.height,
                                static_cast<PixelFormat>(request.pixfmt));
    };
    if (!scanFrame(request, detect, &error)) {
        return failure(kCodeBadFrame, QStringLiteral("%1: %2").arg(type, error));
    }
    QJsonArray rois;
    for (const Region& region : regions) {
        rois.append(QJsonArray{region.x, region.y, region.width, region.height});
    }
    device.lastRois = rois;
    return success(QJsonObject{{QStringLiteral("rois"), rois}});
}

// Commands whose body is an object with "sn" and further members.
using ObjectCommand = ServiceReply (*)(const QString& type, SimulatedDevice&, const QJsonObject&);

const std::map<QString, ObjectCommand>& objectCommands() {
    static const std::map<QString, ObjectCommand> commands = {
        {QStringLiteral("setenabled"),
         [](const QString& type, SimulatedDevice& d, const QJsonObject& body) {
             return setBool(type, body, &d.enabled);
         }},
        {QStringLiteral("szoomap"),
         [](const QString& type, SimulatedDevice& d, const QJsonObject& body) {
             return setBool(type, body, &d.autoZoom);
         }},
        {QStringLiteral("ismodes"),
         [](const QString& type, SimulatedDevice& d, const QJsonObject& body) {
             int mode = 0;
             ServiceReply reply = readMode(type, body, &mode);
             return reply.code != 0 ? reply : success(d.supportsMode(mode));
         }},
        {QStringLiteral("smode"),
         [](const QString& type, SimulatedDevice& d, const QJsonObject& body) {
             int mode = 0;
             ServiceReply reply = readMode(type, body, &mode);
             if (reply.code == 0 && !d.supportsMode(mode)) {
                 return failure(kCodeUnsupportedMode,
                                QStringLiteral("%1: mode %2 is not supported by %3")
                                    .arg(type)
                                    .arg(mode)
                                    .arg(d.sn));
             }
             if (reply.code == 0) {
                 d.mode = mode;
             }
             return reply;
         }},
        {QStringLiteral("shomept"),
         [](const QString& type, SimulatedDevice& d, const QJsonObject& body) {
             double pan = 0.0;
             double tilt = 0.0;
             if (!readNumber(body.value(QStringLiteral("p")), &pan) ||
                 !readNumber(body.value(QStringLiteral("t")), &tilt)) {
                 return badRequest(type, QStringLiteral("\"p\" and \"t\" must be numbers"));
             }
             d.homePan = pan;
             d.homeTilt = tilt;
             return success();
         }},
        {QStringLiteral("processframe"), processFrame},
    };
    return commands;
}

}  // namespace

DeviceSimulator::DeviceSimulator() : d(std::make_shared<State>()) {
    SimulatedDevice desk = SimulatedDevice::withDefaults(QStringLiteral("CAM1"));
    desk.name = QStringLiteral("Omnivue Desk Camera");
    desk.id = QStringLiteral("usb-0001");
    desk.supportedModes = {0, 1, 2, 3};
    desk.mode = 1;
    desk.autoZoom = true;
    desk.pan = 12.5;
    desk.tilt = -4.0;

    SimulatedDevice room = SimulatedDevice::withDefaults(QStringLiteral("CAM2"));
    room.name = QStringLiteral("Omnivue Room Camera");
    room.id = QStringLiteral("usb-0002");
    room.enabled = false;
    room.mode = 2;
    room.homePan = -30.0;
    room.homeTilt = 10.0;
    room.pan = 5.0;
    room.tilt = 2.5;

    d->devices = {desk, room};
}

bool DeviceSimulator::loadDevices(const QJsonArray& devices, QString* error) {
    std::vector<SimulatedDevice> loaded;
    QSet<QString> seen;
    for (int i = 0; i < devices.size(); ++i) {
        SimulatedDevice device;
        QString why;
        if (!devices.at(i).isObject()) {
            why = QStringLiteral("not an object");
        } else if (SimulatedDevice::fromJson(devices.at(i).toObject(), &device, &why) &&
                   seen.contains(device.sn)) {
            why = QStringLiteral("sn \"%1\" given twice").arg(device.sn);
        }
        if (!why.isEmpty()) {
            *error = QStringLiteral("devices[%1]: %2").arg(i).arg(why);
            return false;
        }
        seen.insert(device.sn);
        loaded.push_back(std::move(device));
    }
    d->devices = std::move(loaded);
    return true;
}

ServiceReply DeviceSimulator::handle(const QString& type, const QJsonValue& body) {
    if (type == QLatin1String("iaucr")) {
        return body.isString() ? success(d->uploadCrashReports)
                               : badRequest(type, QStringLiteral("body must be a string"));
    }
    if (type == QLatin1String("saucr")) {
        return setBool(type, body.toObject(), &d->uploadCrashReports);
    }

    const auto named = nameCommands().find(type);
    const auto withObject = objectCommands().find(type);
    QString sn;
    if (named != nameCommands().end()) {
        if (!readString(body, &sn)) {
            return badRequest(type, QStringLiteral("body must be the device sn as a string"));
        }
    } else if (withObject != objectCommands().end()) {
        if (!readString(body.toObject().value(QStringLiteral("sn")), &sn)) {
            return badRequest(type,
                              QStringLiteral("body must be an object with the string \"sn\""));
        }
    } else {
        return failure(kCodeUnknownCommand, QStringLiteral("unknown command \"%1\"").arg(type));
    }

    SimulatedDevice* device = d->find(sn);
    if (device == nullptr) {
        return failure(kCodeUnknownDevice,
                       QStringLiteral("%1: unknown device \"%2\"").arg(type, sn));
    }
    if (named != nameCommands().end()) {
        return success(named->second(*device));
    }
    return withObject->second(type, *device, body.toObject());
}

QList<QByteArray> DeviceSimulator::deviceIds() const {
    QList<QByteArray> ids;
    for (const SimulatedDevice& device : d->devices) {
        ids.append(device.sn.toUtf8());
    }
    return ids;
}

bool DeviceSimulator::addDevice(const QByteArray& sn) {
    const QString text = QString::fromUtf8(sn);
    if (d->find(text) != nullptr) {
        return false;
    }
    d->devices.push_back(SimulatedDevice::withDefaults(text));
    return true;
}

bool DeviceSimulator::removeDevice(const QByteArray& sn) {
    const auto it = d->position(QString::fromUtf8(sn));
    if (it == d->devices.end()) {
        return false;
    }
    d->devices.erase(it);
    return true;
}

}  // namespace omnivue
