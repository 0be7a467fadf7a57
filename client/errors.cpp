#include "errors.h"

namespace quarn::tellan_api {

const char* initResultName(int32_t result) noexcept {
    switch (result) {
        case INIT_OK:
            return "INIT_OK";
        case INIT_STARTUP_ERROR:
            return "INIT_STARTUP_ERROR";
        case INIT_OTHER_EXISTS:
            return "INIT_OTHER_EXISTS";
        case INIT_NO_PROCESSING_ENGINE:
            return "INIT_NO_PROCESSING_ENGINE";
        case INIT_CRASH_DETECTED:
            return "INIT_CRASH_DETECTED";
        case INIT_MISSING_CROP_ASSIST:
            return "INIT_MISSING_CROP_ASSIST";
        case INIT_UNKNOWN_ERROR:
            return "INIT_UNKNOWN_ERROR";
        default:
            return "";
    }
}

}  // namespace quarn::tellan_api
