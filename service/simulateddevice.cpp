#include "simulateddevice.h"

#include "jsonfields.h"

#include <QSet>

#include <algorithm>

namespace omnivue {

namespace {

const QSet<QString>& knownMembers() {
    static const QSet<QString> members = {
        QStringLiteral("sn"),
        QStringLiteral("name"),
        QStringLiteral("id"),
        QStringLiteral("enabled"),
        QStringLiteral("mode"),
        QStringLiteral("effectiveMode"),
        QStringLiteral("supportedModes"),
        QStringLiteral("adjustmentActive"),
        QStringLiteral("autoZoom"),
        QStringLiteral("home"),
        QStringLiteral("current"),
    };
    return members;
}

// The sn travels in LF-terminated callback lines, so it must not hold control characters.
bool isUsableSn(const QString& sn) {
    return !sn.isEmpty() &&
           std::none_of(sn.begin(), sn.end(), [](QChar c) { return c.unicode() < 0x20; });
}

bool readPoint(const QJsonValue& value, double* pan, double* tilt) {
    const QJsonObject point = value.toObject();
    return value.isObject() && point.size() == 2 &&
           readNumber(point.value(QStringLiteral("p")), pan) &&
           readNumber(point.value(QStringLiteral("t")), tilt);
}

bool readModes(const QJsonValue& value, std::vector<int>* modes) {
    if (!value.isArray()) {
        return false;
    }
    std::vector<int> parsed;
    for (const QJsonValue& element : value.toArray()) {
        int mode = 0;
        if (!readInteger(element, &mode)) {
            return false;
        }
        parsed.push_back(mode);
    }
    *modes = std::move(parsed);
    return true;
}

// Applies one optional member; false when it is present but of the wrong form.
template <typename Reader, typename Target>
bool readOptional(const QJsonObject& description, const char* key, Reader reader, Target* target) {
    const QJsonValue value = description.value(QLatin1String(key));
    return value.isUndefined() || reader(value, target);
}

}  // namespace

SimulatedDevice SimulatedDevice::withDefaults(const QString& sn) {
    SimulatedDevice device;
    device.sn = sn;
    device.name = QStringLiteral("Omnivue Camera %1").arg(sn);
    device.id = QStringLiteral("usb-%1").arg(sn.toLower());
    return device;
}

bool SimulatedDevice::fromJson(const QJsonObject& description, SimulatedDevice* device,
                               QString* error) {
    for (auto it = description.begin(); it != description.end(); ++it) {
        if (!knownMembers().contains(it.key())) {
            *error = QStringLiteral("unknown member \"%1\"").arg(it.key());
            return false;
        }
    }
    QString sn;
    if (!readString(description.value(QStringLiteral("sn")), &sn) || !isUsableSn(sn)) {
        *error = QStringLiteral("\"sn\" must be a non-empty string without control characters");
        return false;
    }

    SimulatedDevice parsed = withDefaults(sn);
    int pinned = 0;
    const QJsonValue home = description.value(QStringLiteral("home"));
    const QJsonValue current = description.value(QStringLiteral("current"));
    const QJsonValue effective = description.value(QStringLiteral("effectiveMode"));
    const bool modeGiven = description.contains(QStringLiteral("mode"));
    if (!readOptional(description, "name", readString, &parsed.name) ||
        !readOptional(description, "id", readString, &parsed.id)) {
        *error = QStringLiteral("\"name\" and \"id\" must be strings");
    } else if (!readOptional(description, "enabled", readBool, &parsed.enabled) ||
               !readOptional(description, "adjustmentActive", readBool, &parsed.adjustmentActive) ||
               !readOptional(description, "autoZoom", readBool, &parsed.autoZoom)) {
        *error =
            QStringLiteral("\"enabled\", \"adjustmentActive\" and \"autoZoom\" must be booleans");
    } else if (!readOptional(description, "mode", readInteger<int>, &parsed.mode) ||
               !(effective.isUndefined() || readInteger(effective, &pinned))) {
        *error = QStringLiteral("\"mode\" and \"effectiveMode\" must be integers");
    } else if (!readOptional(description, "supportedModes", readModes, &parsed.supportedModes)) {
        *error = QStringLiteral("\"supportedModes\" must be an array of integers");
    } else if (!(home.isUndefined() || readPoint(home, &parsed.homePan, &parsed.homeTilt)) ||
               !(current.isUndefined() || readPoint(current, &parsed.pan, &parsed.tilt))) {
        *error = QStringLiteral("\"home\" and \"current\" must be objects of the numbers p and t");
    } else if (modeGiven && !parsed.supportsMode(parsed.mode)) {
        *error = QStringLiteral("mode %1 is not among \"supportedModes\"").arg(parsed.mode);
    } else {
        if (!modeGiven && !parsed.supportsMode(parsed.mode)) {
            const auto lowest =
                std::min_element(parsed.supportedModes.begin(), parsed.supportedModes.end());
            parsed.mode = lowest == parsed.supportedModes.end() ? 0 : *lowest;
        }
        if (!effective.isUndefined()) {
            parsed.pinnedEffectiveMode = pinned;
        }
        *device = std::move(parsed);
        return true;
    }
    *error = QStringLiteral("%1: %2").arg(sn, *error);
    return false;
}

int SimulatedDevice::effectiveMode() const {
    if (pinnedEffectiveMode) {
        return *pinnedEffectiveMode;
    }
    return enabled ? mode : 0;
}

bool SimulatedDevice::supportsMode(int candidate) const {
    return std::find(supportedModes.begin(), supportedModes.end(), candidate) !=
           supportedModes.end();
}

}  // namespace omnivue
