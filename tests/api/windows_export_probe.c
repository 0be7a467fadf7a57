/* Windows only (scripts/mingw.sh): every exported function with the header's own declaration and
 * an empty body, linked into a small DLL with -mrtd (__stdcall by default). Its export table then
 * shows the names and convention a 32-bit host sees: undecorated __cdecl names, or name@bytes
 * for any function whose declaration lost its __cdecl. The real library needs Qt for Windows,
 * which this build does not have. */
#define CROP_ASSIST_BUILDING
#include "crop_assist.h"

#define UNUSED(x) (void)(x)

int CROP_ASSIST_CALL crop_assist_init(void) {
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_attach(void) {
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_exit(void) {
    return CROP_ASSIST_OK;
}
bool CROP_ASSIST_CALL crop_assist_is_initialized(void) {
    return false;
}
int CROP_ASSIST_CALL crop_assist_is_enabled(const char* device, bool* enabled) {
    UNUSED(device), UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_enabled(const char* device, bool enabled) {
    UNUSED(device), UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_mode(const char* device, TellanMode* mode) {
    UNUSED(device), UNUSED(mode);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_mode_effective(const char* device, TellanMode* mode) {
    UNUSED(device), UNUSED(mode);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_mode(const char* device, TellanMode mode) {
    UNUSED(device), UNUSED(mode);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_is_mode_supported(const char* device, TellanMode mode,
                                                   bool* supported) {
    UNUSED(device), UNUSED(mode), UNUSED(supported);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_is_adjustment_active(const char* device, bool* active) {
    UNUSED(device), UNUSED(active);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_is_auto_zoom_enabled(const char* device, bool* enabled) {
    UNUSED(device), UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_auto_zoom_enabled(const char* device, bool enabled) {
    UNUSED(device), UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_cur_home_pt(const char* device, float* pan, float* tilt) {
    UNUSED(device), UNUSED(pan), UNUSED(tilt);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_home_pt(const char* device, float pan, float tilt) {
    UNUSED(device), UNUSED(pan), UNUSED(tilt);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_cur_pt_as_home(const char* device) {
    UNUSED(device);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_trigger_home(const char* device) {
    UNUSED(device);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_is_upload_crash_reports_enabled(bool* enabled) {
    UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_upload_crash_reports_enabled(bool enabled) {
    UNUSED(enabled);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_frame_rois(const char* device, TellanFrame frame,
                                                const TellanROI** rois, int* count) {
    UNUSED(device), UNUSED(frame), UNUSED(rois), UNUSED(count);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_last_frame_rois(const char* device, const TellanROI** rois,
                                                     int* count) {
    UNUSED(device), UNUSED(rois), UNUSED(count);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_devices(const TellanDeviceInfo** devices, int* count) {
    UNUSED(devices), UNUSED(count);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_get_device_info(const char* device, TellanDeviceInfo* info) {
    UNUSED(device), UNUSED(info);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_device_connected_callback(DeviceConnectedCallback callback) {
    UNUSED(callback);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback) {
    UNUSED(callback);
    return CROP_ASSIST_OK;
}
int CROP_ASSIST_CALL crop_assist_set_device_event_callback(DeviceEventCallback callback) {
    UNUSED(callback);
    return CROP_ASSIST_OK;
}
