// The three callback setters. They store one pointer in the controller on the calling thread,
// without apiMutex and without the API thread, so a host may call them at any time, even from
// inside a callback or while another thread waits in a marshalled call.
#include "crop_assist.h"

#include "apicontroller.h"
#include "callrecording.h"
#include "errormapping.h"

using namespace quarn::tellan_api;

namespace {

// Stores the callback. Recorded, the store and the call's record keep one order with the notices
// whose handlers load the callback (recording::notice), so a replay makes the same callbacks.
template <typename Callback>
int setCallback(const char* function, void (ApiController::*setter)(Callback), Callback callback,
                const char* failureText) noexcept {
    try {
        ApiController* controller = ApiController::instance();
        const auto store = [controller, setter, callback] { (controller->*setter)(callback); };
        if (recording::on())
            recording::setterCall(function, callback != nullptr, store);
        else
            store();
        return CROP_ASSIST_OK;
    } catch (...) {
        const int result = mapCurrentException(failureText);
        if (recording::on())
            recording::recordCall(
                function, recording::now(), result,
                recording::in("callback", recording::Callback{callback != nullptr}));
        return result;
    }
}

}  // namespace

extern "C" {

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_connected_callback(DeviceConnectedCallback callback) {
    return setCallback("set_device_connected_callback", &ApiController::setDeviceConnectedCallback,
                       callback, "failed to set device connected callback");
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback) {
    return setCallback("set_device_disconnected_callback",
                       &ApiController::setDeviceDisconnectedCallback, callback,
                       "failed to set device disconnected callback");
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_event_callback(DeviceEventCallback callback) {
    return setCallback("set_device_event_callback", &ApiController::setDeviceEventCallback,
                       callback, "failed to set device event callback");
}

}  // extern "C"
