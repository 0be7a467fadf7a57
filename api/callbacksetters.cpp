// The three callback setters. They store one pointer in the controller on the calling thread,
// without apiMutex and without the API thread, so a host may call them at any time, even from
// inside a callback or while another thread waits in a marshalled call.
#include "crop_assist.h"

#include "apicontroller.h"
#include "errormapping.h"

using namespace quarn::tellan_api;

extern "C" {

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_connected_callback(DeviceConnectedCallback callback) {
    try {
        ApiController::instance()->setDeviceConnectedCallback(callback);
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException("failed to set device connected callback");
    }
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback) {
    try {
        ApiController::instance()->setDeviceDisconnectedCallback(callback);
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException("failed to set device disconnected callback");
    }
}

CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_event_callback(DeviceEventCallback callback) {
    try {
        ApiController::instance()->setDeviceEventCallback(callback);
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException("failed to set device event callback");
    }
}

}  // extern "C"
