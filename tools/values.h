// Reading the words of a command line: numbers, switches and modes, each with a message that
// names what was wrong.
#pragma once

#include "crop_assist.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace cropassist {

// Exit status of every input error of the tool (unknown subcommand, missing or malformed
// argument, unusable frame file). It is the library's own code for an invalid argument, so it
// never collides with a start-up result such as 2 (another service exists).
constexpr int kUsageStatus = CROP_ASSIST_INVALID_ARGUMENT;

// Bad input on the command line; the message is shown to the user as it stands.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "on", "true", "yes", "1" and "off", "false", "no", "0" (any case).
bool parseSwitch(const std::string& what, const std::string& text);
// A decimal 32-bit integer, or one of the mode names "off", "framing", "group", "speaker".
TellanMode parseMode(const std::string& text);
// A finite decimal number.
float parseFloat(const std::string& what, const std::string& text);
// A decimal integer in [min, max].
std::int64_t parseInteger(const std::string& what, const std::string& text, std::int64_t min,
                          std::int64_t max);
// The lower-case name of a mode of the stand-in service, or "" for any other number.
const char* modeName(TellanMode mode);

}  // namespace cropassist
