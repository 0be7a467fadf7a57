// The three callback setters. They store one pointer in the controller on the calling thread,
// without apiMutex and without the API thread, so a host may call them at any time, even from
// inside a callback or while another thread waits in a marshalled call.
#include "crop_assist.h"

#include "apicontroller.h"
#include "callrecording.h"
#include "errormapping.h"

using namespace quarn::tellan_api;

namespace {

template <typename Callback>
int setCallback(void (ApiController::*setter)(Callback), Callback callback,
                const char* failureText) noexcept {
    try {
        (ApiController::instance()->*setter)(callback);
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException(failureText);
    }
}

// A setter makes no request, so it begins where it ends, as far as a replay is concerned.
int recorded(const char* function, int result, bool set) noexcept {
    if (recording::on())
        recording::recordCall(function, recording::now(), result,
                              recording::in("callback", recording::Callback{set}));
    return result;
}

}  // namespace

extern "C" {

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_connected_callback(DeviceConnectedCallback callback) {
    return recorded("set_device_connected_callback",
                    setCallback(&ApiController::setDeviceConnectedCallback, callback,
                                "failed to set device connected callback"),
                    callback != nullptr);
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback) {
    return recorded("set_device_disconnected_callback",
                    setCallback(&ApiController::setDeviceDisconnectedCallback, callback,
                                "failed to set device disconnected callback"),
                    callback != nullptr);
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_event_callback(DeviceEventCallback callback) {
    return recorded("set_device_event_callback",
                    setCallback(&ApiController::setDeviceEventCallback, callback,
                                "failed to set device event callback"),
                    callback != nullptr);
}

}  // extern "C"
