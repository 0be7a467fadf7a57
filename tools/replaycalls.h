// The host side of a replay: each recorded call made again through the library, and the
// callbacks that the library makes meanwhile, as records would show them.
#pragma once

#include "recordformat.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace cropassist::replaycalls {

using quarn::tellan_api::recording::RecordLine;

// Numbers of a recording as the types the calls take, held within their ranges: a recording is
// a file and may hold anything.
inline float toFloat(const QJsonValue& value) {
    const double d = value.toDouble();
    return d != d ? 0.0f : static_cast<float>(qBound(-3.4e38, d, 3.4e38));
}
inline uint32_t toUint32(const QJsonValue& value) {
    return static_cast<uint32_t>(qBound(0.0, value.toDouble(), 4294967295.0));
}
inline int64_t toTime(const QJsonValue& value) {
    return static_cast<int64_t>(qBound(0.0, value.toDouble(), 9007199254740992.0));
}

// A record's members as a JSON object.
QJsonObject parsed(const RecordLine& line);

// Makes the recorded call of `fn` again with its recorded arguments and returns its record.
// Out-parameters recorded as null are passed as null pointers; a frame's pixels are `pixels`.
// Throws std::runtime_error for a function the library does not have.
RecordLine makeCall(const QString& fn, const QJsonObject& args, const QJsonObject& recordedOut,
                    const QByteArray& pixels);

// After init or attach: the replay's observers go into all three callback slots, so that it sees
// when the library has taken a notice in; none counts as the host's until its setter is replayed.
int startObserving();

// The callbacks made of a kind the host had set, in order.
std::vector<QJsonObject> callbacksMade();
// Waits until `count` such callbacks have been made or `timeout` has passed; returns how many.
size_t awaitCallbacks(size_t count, std::chrono::milliseconds timeout);
// Waits until the library has taken in `count` arrivals and events, within `timeout`.
void awaitHandled(size_t count, std::chrono::milliseconds timeout);
// Whether the library calls the connected or event callback for a notice line.
bool handledNotice(const QByteArray& line);

}  // namespace cropassist::replaycalls
