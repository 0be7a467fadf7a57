#include "errormapping.h"

#include "errors.h"

#include <QDebug>

namespace quarn::tellan_api {

int32_t mapCurrentException(const char* failureText) noexcept {
    try {
        throw;
    } catch (const APIException& e) {
        // Whether a lost connection was a crash was decided on the API thread, inside the call.
        if (e.code == 99 && e.serviceCrashed) {
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
