#include "values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace cropassist {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

bool parseSwitch(const std::string& what, const std::string& text) {
    const std::string word = lower(text);
    if (word == "on" || word == "true" || word == "yes" || word == "1") {
        return true;
    }
    if (word == "off" || word == "false" || word == "no" || word == "0") {
        return false;
    }
    throw UsageError(what + " must be on or off, not '" + text + "'");
}

std::int64_t parseInteger(const std::string& what, const std::string& text, std::int64_t min,
                          std::int64_t max) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    // strtoll skips leading blanks and accepts a lone sign; neither is a number here.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || end == begin ||
        *end != '\0') {
        throw UsageError(what + " must be a whole number, not '" + text + "'");
    }
    if (errno == ERANGE || value < min || value > max) {
        throw UsageError(what + " must be between " + std::to_string(min) + " and " +
                         std::to_string(max) + ", not " + text);
    }
    return value;
}

TellanMode parseMode(const std::string& text) {
    const std::string word = lower(text);
    for (const TellanMode mode :
         {TELLAN_MODE_OFF, TELLAN_MODE_FRAMING, TELLAN_MODE_GROUP, TELLAN_MODE_SPEAKER}) {
        if (word == modeName(mode)) {
            return mode;
        }
    }
    // The library carries any 32-bit number to the service unchanged.
    return static_cast<TellanMode>(parseInteger("the mode (or off, framing, group, speaker)", text,
                                                std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::int32_t>::max()));
}

float parseFloat(const std::string& what, const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(begin, &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || end == begin ||
        *end != '\0' || !std::isfinite(value) || errno == ERANGE) {
        throw UsageError(what + " must be a finite number, not '" + text + "'");
    }
    return value;
}

const char* modeName(TellanMode mode) {
    switch (mode) {
        case TELLAN_MODE_OFF:
            return "off";
        case TELLAN_MODE_FRAMING:
            return "framing";
        case TELLAN_MODE_GROUP:
            return "group";
        case TELLAN_MODE_SPEAKER:
            return "speaker";
        default:
            return "";
    }
}

}  // namespace cropassist
