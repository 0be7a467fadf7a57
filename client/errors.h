// The library's two exception types and the start-up result codes.
#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quarn::tellan_api {

// Failure of a call on a running controller; `code` becomes the result of the exported call.
class APIException : public std::runtime_error {
public:
    APIException(int32_t code, const std::string& message)
        : std::runtime_error(message), code(code) {}
    APIException(int32_t code, const char* message) : std::runtime_error(message), code(code) {}

    int32_t code;
    // Set on the API thread, inside the call that failed, when a code 99 came with the crash of
    // the service that the library started: the exported function then returns 97. Deciding
    // there needs no second call to the API thread and no lock when the failure is reported.
    bool serviceCrashed = false;
};

// Failure while starting or attaching to the service; `code` is a StartupResult value.
class StartupException : public std::runtime_error {
public:
    StartupException(int32_t code, const std::string& message)
        : std::runtime_error(message), code(code) {}
    StartupException(int32_t code, const QString& message)
        : std::runtime_error(message.toUtf8().toStdString()), code(code) {}
    StartupException(int32_t code, const char* message) : std::runtime_error(message), code(code) {}

    int32_t code;
};

// Start-up results; the service's exit codes use the same numbers.
enum StartupResult : int32_t {
    INIT_OK = 0,
    INIT_STARTUP_ERROR = 1,
    INIT_OTHER_EXISTS = 2,
    INIT_NO_PROCESSING_ENGINE = 11,
    INIT_CRASH_DETECTED = 97,
    INIT_MISSING_CROP_ASSIST = 99,
    INIT_UNKNOWN_ERROR = 100,
};

// The name of a StartupResult value, or "" (never null) for any other value.
const char* initResultName(int32_t result) noexcept;

}  // namespace quarn::tellan_api
