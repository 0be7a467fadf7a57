#include "errormapping.h"

#include "apicontroller.h"
#include "apimutex.h"
#include "errors.h"
#include "runonapithread.h"

#include <QDebug>

namespace quarn::tellan_api {

namespace {

// Whether the service that the library started has crashed. The controller and its process
// belong to the API thread, so the question is asked there; any failure of the check counts as
// "no" (the caller then reports the original failure).
bool serviceHasCrashed() noexcept {
    try {
        if (!ApiController::exists())
            return false;
        std::lock_guard<std::recursive_mutex> lock(apiMutex);
        FunctorExecutor* executor = apiThreadExecutor(currentApiThread());
        return runOnApiThread<bool>(executor, &ApiController::serviceCrashedAfterLoss);
    } catch (...) {
        return false;
    }
}

}  // namespace

int32_t mapCurrentException(const char* failureText) noexcept {
    try {
        throw;
    } catch (const APIException& e) {
        if (e.code == 99 && serviceHasCrashed()) {
            qCritical().nospace() << "Omnivue API:" << failureText
                                  << " (service crash detected): " << e.what();
            return 97;
        }
        qCritical().nospace() << "Omnivue API:" << failureText << ": " << e.what();
        return e.code;
    } catch (const std::exception& e) {
        qCritical().nospace() << "Omnivue API:" << failureText << ": " << e.what();
        return 100;
    } catch (...) {
        qCritical() << "Omnivue API:" << failureText;
        return 100;
    }
}

}  // namespace quarn::tellan_api
