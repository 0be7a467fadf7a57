// The table of the library's queries and commands: one line per exported function, which drives
// the exported wrapper (checks, presets, the controller operation, the failure text), the call's
// record, cropassist's subcommand and replay's call. Adding a query is its declaration in
// crop_assist.h, its ApiController operation and one line here.
//
//   X(function, operation, failure, (parameters), (arguments), summary)
//
// function    the export's name after crop_assist_
// operation   the ApiController member run on the API thread
// failure     the text of the critical line when the call fails
// parameters  as declared in crop_assist.h (the compiler holds the two to each other)
// arguments   the parameters' names: they name the values in the call's record
// summary     one line for cropassist's overview
//
// What a parameter means follows from its type (callparameters.h): a string is a device and must
// not be null, a pointer is an out-parameter preset before the call, a list is an array and its
// count. The initialisation, exit and callback-setter calls are not queries and are not here.
#pragma once

#include "crop_assist.h"

#define CROP_ASSIST_QUERIES(X)                                                                     \
    X(is_enabled, isEnabled, "failed to get feature status", (const char* device, bool* enabled),  \
      (device, enabled), "whether crop assist is on")                                              \
    X(set_enabled, setEnabled, "failed to set feature status", (const char* device, bool enabled), \
      (device, enabled), "switch crop assist on or off")                                           \
    X(get_mode, getMode, "failed to get current mode", (const char* device, TellanMode* mode),     \
      (device, mode), "the chosen crop-assist mode")                                               \
    X(get_mode_effective, getModeEffective, "failed to get current effective mode",                \
      (const char* device, TellanMode* mode), (device, mode), "the mode in effect right now")      \
    X(set_mode, setMode, "failed to set current mode", (const char* device, TellanMode mode),      \
      (device, mode), "choose the crop-assist mode")                                               \
    X(is_mode_supported, isModeSupported, "failed to check is mode supported",                     \
      (const char* device, TellanMode mode, bool* supported), (device, mode, supported),           \
      "whether the device offers a mode")                                                          \
    X(is_adjustment_active, isAdjustmentActive, "failed to check adjustment status",               \
      (const char* device, bool* active), (device, active),                                        \
      "whether the device is adjusting its picture now")                                           \
    X(is_auto_zoom_enabled, isAutoZoomEnabled, "failed to check auto-zoom status",                 \
      (const char* device, bool* enabled), (device, enabled), "whether automatic zoom is on")      \
    X(set_auto_zoom_enabled, setAutoZoomEnabled, "failed to set auto-zoom",                        \
      (const char* device, bool enabled), (device, enabled), "switch automatic zoom on or off")    \
    X(get_cur_home_pt, getCurHomePt, "failed to get Home PanTilt",                                 \
      (const char* device, float* pan, float* tilt), (device, pan, tilt),                          \
      "the pan/tilt home position")                                                                \
    X(set_home_pt, setHomePt, "failed to set Home PanTilt",                                        \
      (const char* device, float pan, float tilt), (device, pan, tilt),                            \
      "set the pan/tilt home position")                                                            \
    X(set_cur_pt_as_home, setCurPtAsHome, "failed to set current PanTilt as Home",                 \
      (const char* device), (device), "make the current pan/tilt position the home")               \
    X(trigger_home, triggerHome, "failed to trigger Go Home", (const char* device), (device),      \
      "move the device to its home position")                                                      \
    X(is_upload_crash_reports_enabled, isUploadCrashReportsEnabled,                                \
      "failed to get crash reporting status", (bool* enabled), (enabled),                          \
      "whether the service uploads crash reports")                                                 \
    X(set_upload_crash_reports_enabled, setUploadCrashReportsEnabled,                              \
      "failed to set crash reporting status", (bool enabled), (enabled),                           \
      "switch crash-report upload on or off")                                                      \
    X(get_frame_rois, getFrameRois, "failed to process external frame",                            \
      (const char* device, TellanFrame frame, const TellanROI** rois, int* count),                 \
      (device, frame, rois, count), "regions of interest the service finds in a frame")            \
    X(get_last_frame_rois, getLastFrameRois, "failed to get last known ROIs",                      \
      (const char* device, const TellanROI** rois, int* count), (device, rois, count),             \
      "the regions the service found last for a device")                                           \
    X(get_devices, getDevices, "cannot get devices",                                               \
      (const TellanDeviceInfo** devices, int* count), (devices, count),                            \
      "every device the service has announced (sn, name, id)")                                     \
    X(get_device_info, getDeviceInfo, "cannot get device info",                                    \
      (const char* device, TellanDeviceInfo* info), (device, info), "one device's record")

#include <cstddef>

namespace quarn::tellan_api::calls {

// The names of a table line's arguments, read from its "(a, b, c)" at compile time.
class ArgumentNames {
public:
    constexpr explicit ArgumentNames(const char* list) {
        bool inName = false;
        std::size_t used = 0;
        for (const char* p = list; *p; ++p) {
            const bool separator = *p == '(' || *p == ')' || *p == ',' || *p == ' ';
            if (separator && inName)
                text_[used++] = '\0';
            else if (!separator && !inName)
                starts_[count_++] = used;
            if (!separator)
                text_[used++] = *p;
            inName = !separator;
        }
    }
    constexpr std::size_t size() const { return count_; }
    constexpr const char* operator[](std::size_t i) const { return text_ + starts_[i]; }

private:
    char text_[64] = {};
    std::size_t starts_[8] = {};
    std::size_t count_ = 0;
};

}  // namespace quarn::tellan_api::calls
