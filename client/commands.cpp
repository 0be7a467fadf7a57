// The command catalogue: one request per method, with the check of its reply value.
#include "apicontroller.h"
#include "errors.h"
#include "protocolkeys.h"

#include <QJsonObject>

#include <cmath>
#include <limits>

namespace quarn::tellan_api {

namespace {

QJsonValue deviceName(const char* device) {
    return QJsonValue(QString::fromUtf8(device));
}

// Objects are filled by insert: the braced constructor is out of line from Qt 5.15, and a host
// may bring an older Qt.
QJsonObject deviceObject(const char* device) {
    QJsonObject body;
    body.insert(keys::sn, QString::fromUtf8(device));
    return body;
}

bool expectBool(const QJsonValue& value, const char* failure) {
    if (!value.isBool())
        throw APIException(CROP_ASSIST_FAILURE, failure);
    return value.toBool();
}

// The service's mode number, truncated toward zero; values beyond 32 bits are clamped.
TellanMode expectMode(const QJsonValue& value, const char* failure) {
    if (!value.isDouble())
        throw APIException(CROP_ASSIST_FAILURE, failure);
    const double number = std::trunc(value.toDouble());
    constexpr double lowest = std::numeric_limits<int32_t>::min();
    constexpr double highest = std::numeric_limits<int32_t>::max();
    const double clamped = number < lowest ? lowest : (number > highest ? highest : number);
    return static_cast<TellanMode>(static_cast<int32_t>(clamped));
}

}  // namespace

bool ApiController::isEnabled(const char* device) {
    return expectBool(sendRequest(keys::isEnabled, deviceName(device), kNoTimeout),
                      "IS_CROP_ASSIST_ENABLED: Expected single bool");
}

void ApiController::setEnabled(const char* device, bool enabled) {
    QJsonObject body = deviceObject(device);
    body.insert(keys::bval, enabled);
    sendRequest(keys::setEnabled, body, kNoTimeout);
}

TellanMode ApiController::getMode(const char* device) {
    return expectMode(sendRequest(keys::getMode, deviceName(device), kNoTimeout),
                      "GET_CROP_ASSIST_MODE: Expected single number");
}

TellanMode ApiController::getModeEffective(const char* device) {
    return expectMode(sendRequest(keys::getModeEffective, deviceName(device), kNoTimeout),
                      "GET_CROP_ASSIST_MODE_EFFECTIVE: Expected single number");
}

void ApiController::setMode(const char* device, TellanMode mode) {
    QJsonObject body = deviceObject(device);
    body.insert(keys::mode, static_cast<int>(mode));
    sendRequest(keys::setMode, body, kNoTimeout);
}

bool ApiController::isModeSupported(const char* device, TellanMode mode) {
    QJsonObject body = deviceObject(device);
    body.insert(keys::mode, static_cast<int>(mode));
    return expectBool(sendRequest(keys::isModeSupported, body, kNoTimeout),
                      "IS_CROP_ASSIST_MODE_SUPPORTED: Expected single boolean");
}

bool ApiController::isAdjustmentActive(const char* device) {
    return expectBool(sendRequest(keys::isAdjustmentActive, deviceName(device), kNoTimeout),
                      "IS_ADJUSTMENT_ACTIVE: Expected single bool");
}

bool ApiController::isAutoZoomEnabled(const char* device) {
    return expectBool(sendRequest(keys::isAutoZoomEnabled, deviceName(device), kNoTimeout),
                      "IS_AUTO_ZOOM_ON_PROCESS: Expected single bool");
}

void ApiController::setAutoZoomEnabled(const char* device, bool enabled) {
    QJsonObject body = deviceObject(device);
    body.insert(keys::bval, enabled);
    sendRequest(keys::setAutoZoomEnabled, body, kNoTimeout);
}

std::tuple<float, float> ApiController::getCurHomePt(const char* device) {
    const QJsonValue value = sendRequest(keys::getCurHomePt, deviceName(device), kNoTimeout);
    if (!value.isObject())
        throw APIException(CROP_ASSIST_FAILURE, "GET_HOME_PAN_TILT: Expected single object");
    const QJsonObject point = value.toObject();
    const QJsonValue pan = point.value(keys::p);
    const QJsonValue tilt = point.value(keys::t);
    if (!pan.isDouble() || !tilt.isDouble())
        throw APIException(CROP_ASSIST_FAILURE, "GET_HOME_PAN_TILT: Pan/Tilt not found");
    return {static_cast<float>(pan.toDouble()), static_cast<float>(tilt.toDouble())};
}

void ApiController::setHomePt(const char* device, float pan, float tilt) {
    QJsonObject body = deviceObject(device);
    body.insert(keys::p, static_cast<double>(pan));
    body.insert(keys::t, static_cast<double>(tilt));
    sendRequest(keys::setHomePt, body, kNoTimeout);
}

void ApiController::setCurPtAsHome(const char* device) {
    sendRequest(keys::setCurPtAsHome, deviceName(device), kNoTimeout);
}

void ApiController::triggerHome(const char* device) {
    sendRequest(keys::triggerHome, deviceName(device), kNoTimeout);
}

// The crash-report setting belongs to the service, not to a device: the name is left empty.
bool ApiController::isUploadCrashReportsEnabled() {
    return expectBool(sendRequest(keys::isUploadCrashReportsEnabled, QString(), kNoTimeout),
                      "IS_AUTO_UPLOAD_CRASH_REPORTS: Expected single bool");
}

void ApiController::setUploadCrashReportsEnabled(bool enabled) {
    QJsonObject body = deviceObject("");
    body.insert(keys::bval, enabled);
    sendRequest(keys::setUploadCrashReportsEnabled, body, kNoTimeout);
}

}  // namespace quarn::tellan_api
