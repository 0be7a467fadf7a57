// The query and command entry points: check arguments, write presets, take apiMutex, run one
// controller operation on the API thread, copy the result out, map failures to result codes.
#include "crop_assist.h"

#include "apicontroller.h"
#include "apimutex.h"
#include "apithread.h"
#include "callrecording.h"
#include "controllercall.h"
#include "errormapping.h"

#include <cstdint>
#include <cstring>

using namespace quarn::tellan_api;
using quarn::tellan_api::recording::in;
using quarn::tellan_api::recording::list;
using quarn::tellan_api::recording::out;

namespace {

// A host's bool may arrive as any byte; the service is always sent exactly 0 or 1.
bool normalized(bool value) {
    unsigned char raw;
    std::memcpy(&raw, &value, 1);
    return raw != 0;
}

// Runs `body` with the API thread's executor under apiMutex; every failure becomes a code and
// one critical line. The guard is released before the failure is mapped.
template <typename Body>
int marshalled(const char* failureText, Body&& body) noexcept {
    try {
        std::lock_guard<std::recursive_mutex> lock(apiMutex);
        body(apiThreadExecutor(currentApiThread()));
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException(failureText);
    }
}

// Where a call hands out lists or strings that the library keeps, it is recorded under the API
// lock: once the lock is let go, another host thread's call or exit may replace them.
std::unique_lock<std::recursive_mutex> holdWhileRecorded(int64_t began) noexcept {
    try {
        if (began >= 0)
            return std::unique_lock<std::recursive_mutex>(apiMutex);
    } catch (...) {
        // The lock could not be had (a resource failure): recorded as before, without it.
    }
    return std::unique_lock<std::recursive_mutex>();
}

template <typename T>
void copyOut(const std::vector<T>* list, const T** items, int* count) {
    *items = list->data();
    *count = static_cast<int>(list->size());
}

// The bodies of the exported functions below, one each.

int runIsEnabled(const char* device, bool* enabled) {
    if (!device || !enabled)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *enabled = false;
    return marshalled("failed to get feature status", [&](FunctorExecutor* executor) {
        *enabled = callController<bool>(executor, &ApiController::isEnabled, device);
    });
}

int runSetEnabled(const char* device, bool enabled) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    const bool value = normalized(enabled);
    return marshalled("failed to set feature status", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setEnabled, device, value);
    });
}

int runGetMode(const char* device, TellanMode* mode) {
    if (!device || !mode)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *mode = TELLAN_MODE_FRAMING;
    return marshalled("failed to get current mode", [&](FunctorExecutor* executor) {
        *mode = callController<TellanMode>(executor, &ApiController::getMode, device);
    });
}

int runGetModeEffective(const char* device, TellanMode* mode) {
    if (!device || !mode)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *mode = TELLAN_MODE_FRAMING;
    return marshalled("failed to get current effective mode", [&](FunctorExecutor* executor) {
        *mode = callController<TellanMode>(executor, &ApiController::getModeEffective, device);
    });
}

int runSetMode(const char* device, TellanMode mode) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    return marshalled("failed to set current mode", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setMode, device, mode);
    });
}

int runIsModeSupported(const char* device, TellanMode mode, bool* supported) {
    if (!device || !supported)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *supported = false;
    return marshalled("failed to check is mode supported", [&](FunctorExecutor* executor) {
        *supported = callController<bool>(executor, &ApiController::isModeSupported, device, mode);
    });
}

int runIsAdjustmentActive(const char* device, bool* active) {
    if (!device || !active)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *active = false;
    return marshalled("failed to check adjustment status", [&](FunctorExecutor* executor) {
        *active = callController<bool>(executor, &ApiController::isAdjustmentActive, device);
    });
}

int runIsAutoZoomEnabled(const char* device, bool* enabled) {
    if (!device || !enabled)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *enabled = false;
    return marshalled("failed to check auto-zoom status", [&](FunctorExecutor* executor) {
        *enabled = callController<bool>(executor, &ApiController::isAutoZoomEnabled, device);
    });
}

int runSetAutoZoomEnabled(const char* device, bool enabled) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    const bool value = normalized(enabled);
    return marshalled("failed to set auto-zoom", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setAutoZoomEnabled, device, value);
    });
}

int runGetCurHomePt(const char* device, float* pan, float* tilt) {
    if (!device || !pan || !tilt)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *pan = 0.0f;
    *tilt = 0.0f;
    return marshalled("failed to get Home PanTilt", [&](FunctorExecutor* executor) {
        const auto home = callController<std::tuple<float, float>>(
            executor, &ApiController::getCurHomePt, device);
        *pan = std::get<0>(home);
        *tilt = std::get<1>(home);
    });
}

int runSetHomePt(const char* device, float pan, float tilt) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    return marshalled("failed to set Home PanTilt", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setHomePt, device, pan, tilt);
    });
}

int runSetCurPtAsHome(const char* device) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    return marshalled("failed to set current PanTilt as Home", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setCurPtAsHome, device);
    });
}

int runTriggerHome(const char* device) {
    if (!device)
        return CROP_ASSIST_INVALID_ARGUMENT;
    return marshalled("failed to trigger Go Home", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::triggerHome, device);
    });
}

int runIsUploadCrashReportsEnabled(bool* enabled) {
    if (!enabled)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *enabled = false;
    return marshalled("failed to get crash reporting status", [&](FunctorExecutor* executor) {
        *enabled = callController<bool>(executor, &ApiController::isUploadCrashReportsEnabled);
    });
}

int runSetUploadCrashReportsEnabled(bool enabled) {
    const bool value = normalized(enabled);
    return marshalled("failed to set crash reporting status", [&](FunctorExecutor* executor) {
        callController<void>(executor, &ApiController::setUploadCrashReportsEnabled, value);
    });
}

int runGetFrameRois(const char* device, TellanFrame frame, const TellanROI** rois, int* count) {
    if (!device || ApiController::frameByteCount(frame) == 0 || !rois || !count)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *rois = nullptr;
    *count = 0;
    const TellanFrame* framePtr = &frame;
    return marshalled("failed to process external frame", [&](FunctorExecutor* executor) {
        copyOut(callController<const std::vector<TellanROI>*>(
                    executor, &ApiController::getFrameRois, device, framePtr),
                rois, count);
    });
}

int runGetLastFrameRois(const char* device, const TellanROI** rois, int* count) {
    if (!device || !rois || !count)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *rois = nullptr;
    *count = 0;
    return marshalled("failed to get last known ROIs", [&](FunctorExecutor* executor) {
        copyOut(callController<const std::vector<TellanROI>*>(
                    executor, &ApiController::getLastFrameRois, device),
                rois, count);
    });
}

int runGetDevices(const TellanDeviceInfo** devices, int* count) {
    if (!devices || !count)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *devices = nullptr;
    *count = 0;
    return marshalled("cannot get devices", [&](FunctorExecutor* executor) {
        copyOut(callController<const std::vector<TellanDeviceInfo>*>(executor,
                                                                     &ApiController::getDevices),
                devices, count);
    });
}

int runGetDeviceInfo(const char* device, TellanDeviceInfo* info) {
    static const char kEmpty[] = "";
    if (!device || !info)
        return CROP_ASSIST_INVALID_ARGUMENT;
    *info = TellanDeviceInfo{kEmpty, kEmpty, kEmpty};
    return marshalled("cannot get device info", [&](FunctorExecutor* executor) {
        *info = callController<TellanDeviceInfo>(executor, &ApiController::getDeviceInfo, device);
    });
}

}  // namespace

extern "C" {

// The exported functions: each runs its body above and, when a session is recorded, records the
// call with what it wrote to its out-parameters.
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_enabled(const char* device, bool* enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runIsEnabled(device, enabled);
    if (began >= 0)
        recording::recordCall("is_enabled", began, result, in("device", device),
                              out("enabled", static_cast<const bool*>(enabled)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_enabled(const char* device, bool enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetEnabled(device, enabled);
    if (began >= 0)
        recording::recordCall("set_enabled", began, result, in("device", device),
                              in("enabled", enabled));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode(const char* device, TellanMode* mode) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runGetMode(device, mode);
    if (began >= 0)
        recording::recordCall("get_mode", began, result, in("device", device),
                              out("mode", static_cast<const TellanMode*>(mode)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode_effective(const char* device,
                                                                    TellanMode* mode) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runGetModeEffective(device, mode);
    if (began >= 0)
        recording::recordCall("get_mode_effective", began, result, in("device", device),
                              out("mode", static_cast<const TellanMode*>(mode)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_mode(const char* device, TellanMode mode) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetMode(device, mode);
    if (began >= 0)
        recording::recordCall("set_mode", began, result, in("device", device), in("mode", mode));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_mode_supported(const char* device,
                                                                   TellanMode mode,
                                                                   bool* supported) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runIsModeSupported(device, mode, supported);
    if (began >= 0)
        recording::recordCall("is_mode_supported", began, result, in("device", device),
                              in("mode", mode),
                              out("supported", static_cast<const bool*>(supported)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_adjustment_active(const char* device,
                                                                      bool* active) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runIsAdjustmentActive(device, active);
    if (began >= 0)
        recording::recordCall("is_adjustment_active", began, result, in("device", device),
                              out("active", static_cast<const bool*>(active)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_auto_zoom_enabled(const char* device,
                                                                      bool* enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runIsAutoZoomEnabled(device, enabled);
    if (began >= 0)
        recording::recordCall("is_auto_zoom_enabled", began, result, in("device", device),
                              out("enabled", static_cast<const bool*>(enabled)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_auto_zoom_enabled(const char* device,
                                                                       bool enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetAutoZoomEnabled(device, enabled);
    if (began >= 0)
        recording::recordCall("set_auto_zoom_enabled", began, result, in("device", device),
                              in("enabled", enabled));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_cur_home_pt(const char* device, float* pan,
                                                                 float* tilt) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runGetCurHomePt(device, pan, tilt);
    if (began >= 0)
        recording::recordCall("get_cur_home_pt", began, result, in("device", device),
                              out("pan", static_cast<const float*>(pan)),
                              out("tilt", static_cast<const float*>(tilt)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_home_pt(const char* device, float pan,
                                                             float tilt) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetHomePt(device, pan, tilt);
    if (began >= 0)
        recording::recordCall("set_home_pt", began, result, in("device", device), in("pan", pan),
                              in("tilt", tilt));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_cur_pt_as_home(const char* device) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetCurPtAsHome(device);
    if (began >= 0)
        recording::recordCall("set_cur_pt_as_home", began, result, in("device", device));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_trigger_home(const char* device) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runTriggerHome(device);
    if (began >= 0)
        recording::recordCall("trigger_home", began, result, in("device", device));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_upload_crash_reports_enabled(bool* enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runIsUploadCrashReportsEnabled(enabled);
    if (began >= 0)
        recording::recordCall("is_upload_crash_reports_enabled", began, result,
                              out("enabled", static_cast<const bool*>(enabled)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_upload_crash_reports_enabled(bool enabled) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const int result = runSetUploadCrashReportsEnabled(enabled);
    if (began >= 0)
        recording::recordCall("set_upload_crash_reports_enabled", began, result,
                              in("enabled", enabled));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_frame_rois(const char* device,
                                                                TellanFrame frame,
                                                                const TellanROI** rois,
                                                                int* count) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const auto hold = holdWhileRecorded(began);
    const int result = runGetFrameRois(device, frame, rois, count);
    if (began >= 0)
        recording::recordCall("get_frame_rois", began, result, in("device", device),
                              in("frame", frame), out("rois", list(rois, count)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_last_frame_rois(const char* device,
                                                                     const TellanROI** rois,
                                                                     int* count) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const auto hold = holdWhileRecorded(began);
    const int result = runGetLastFrameRois(device, rois, count);
    if (began >= 0)
        recording::recordCall("get_last_frame_rois", began, result, in("device", device),
                              out("rois", list(rois, count)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_devices(const TellanDeviceInfo** devices,
                                                             int* count) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const auto hold = holdWhileRecorded(began);
    const int result = runGetDevices(devices, count);
    if (began >= 0)
        recording::recordCall("get_devices", began, result, out("devices", list(devices, count)));
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_device_info(const char* device,
                                                                 TellanDeviceInfo* info) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const auto hold = holdWhileRecorded(began);
    const int result = runGetDeviceInfo(device, info);
    if (began >= 0)
        recording::recordCall("get_device_info", began, result, in("device", device),
                              out("info", static_cast<const TellanDeviceInfo*>(info)));
    return result;
}

}  // extern "C"
