// Strict readers for members of request bodies and device descriptions: a value is taken only
// when it has exactly the expected JSON type, so malformed input is refused, never coerced.
#pragma once

#include <QJsonValue>

#include <cmath>
#include <limits>

namespace omnivue {

// A JSON number with an integral value in the range of T.
template <typename T>
bool readInteger(const QJsonValue& value, T* out) {
    if (!value.isDouble()) {
        return false;
    }
    const double number = value.toDouble();
    if (std::floor(number) != number ||
        number < static_cast<double>(std::numeric_limits<T>::min()) ||
        number > static_cast<double>(std::numeric_limits<T>::max())) {
        return false;
    }
    *out = static_cast<T>(number);
    return true;
}

inline bool readNumber(const QJsonValue& value, double* out) {
    if (!value.isDouble()) {
        return false;
    }
    *out = value.toDouble();
    return true;
}

inline bool readBool(const QJsonValue& value, bool* out) {
    if (!value.isBool()) {
        return false;
    }
    *out = value.toBool();
    return true;
}

inline bool readString(const QJsonValue& value, QString* out) {
    if (!value.isString()) {
        return false;
    }
    *out = value.toString();
    return true;
}

}  // namespace omnivue
