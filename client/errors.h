// The library's two exception types and the start-up result codes.
#pragma once

#include "crop_assist.h"

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
    // Set on the API thread, inside the call that failed, when CROP_ASSIST_NOT_INITIALIZED came
    // with the crash of the service that the library started: the exported function then returns
    // CROP_ASSIST_SERVICE_CRASHED. Deciding there needs no second call to the API thread and no
    // lock when the failure is reported.
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

// Start-up results: the public result codes under the names they have as results of init and
// attach. The service's exit codes use the same numbers.
enum StartupResult : int32_t {
    INIT_OK = CROP_ASSIST_OK,
    INIT_STARTUP_ERROR = CROP_ASSIST_DEVICE_NOT_FOUND,
    INIT_OTHER_EXISTS = CROP_ASSIST_OTHER_EXISTS,
    INIT_NO_PROCESSING_ENGINE = CROP_ASSIST_NO_PROCESSING_ENGINE,
    INIT_CRASH_DETECTED = CROP_ASSIST_SERVICE_CRASHED,
    INIT_MISSING_CROP_ASSIST = CROP_ASSIST_NOT_INITIALIZED,
    INIT_UNKNOWN_ERROR = CROP_ASSIST_FAILURE,
};

// The name of a StartupResult value, or "" (never null) for any other value.
const char* initResultName(int32_t result) noexcept;

}  // namespace quarn::tellan_api
