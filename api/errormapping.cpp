#include "errormapping.h"

#include "crop_assist.h"
#include "errors.h"

#include <QDebug>

namespace quarn::tellan_api {

int32_t mapCurrentException(const char* failureText) noexcept {
    try {
        throw;
    } catch (const APIException& e) {
        // Whether a lost connection was a crash was decided on the API thread, inside the call.
        if (e.code == CROP_ASSIST_NOT_INITIALIZED && e.serviceCrashed) {
            qCritical().nospace() << "Omnivue API:" << failureText
                                  << " (service crash detected): " << e.what();
            return CROP_ASSIST_SERVICE_CRASHED;
        }
        qCritical().nospace() << "Omnivue API:" << failureText << ": " << e.what();
        return e.code;
    } catch (const std::exception& e) {
        qCritical().nospace() << "Omnivue API:" << failureText << ": " << e.what();
        return CROP_ASSIST_FAILURE;
    } catch (...) {
        qCritical() << "Omnivue API:" << failureText;
        return CROP_ASSIST_FAILURE;
    }
}

}  // namespace quarn::tellan_api
