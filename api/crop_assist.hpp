/// @file crop_assist.hpp
/// @brief A header-only C++17 companion over the C interface of crop_assist.h.
///
/// It adds no exported symbol: everything here is inline over the twenty-six C functions, whose
/// entries in crop_assist.h give the result codes, the requests and the blocking behaviour.
///   - Session: init (Session::Mode::Start) or attach (Session::Mode::Attach) on construction,
///     exit on destruction.
///   - Results are values: Result<T> holds either the value or the failing code, with the code's
///     name and meaning; Status is the same without a value.
///   - Device and region lists are copied into standard containers, so they outlive the next
///     call.
///   - Callbacks are std::function objects. The C callbacks carry no context pointer, so the
///     companion keeps the functions in one process-wide table and installs plain trampolines.
///     They run on the library's listener thread (see crop_assist.h for what they may call).
#ifndef CROP_ASSIST_HPP
#define CROP_ASSIST_HPP

#include "crop_assist.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

/// The C++ companion of the crop-assist C interface.
namespace crop_assist {

/// The symbolic name of a result code: crop_assist_result_name().
/// @param code A result code of any function of crop_assist.h.
/// @return "OK", "NOT_INITIALIZED" and so on; "SERVICE_CODE" for a code of the service's own.
inline const char* resultName(int code) noexcept {
    return crop_assist_result_name(code);
}

/// What a result code means to a host: crop_assist_result_meaning().
/// @param code A result code of any function of crop_assist.h.
/// @return A static text, never NULL.
inline const char* resultMeaning(int code) noexcept {
    return crop_assist_result_meaning(code);
}

/// The outcome of a call without a value.
class Status {
public:
    /// Wraps a result code.
    /// @param code The result code of the C call.
    Status(int code = CROP_ASSIST_OK) noexcept : code_(code) {}
    /// @return Whether the call succeeded (code 0).
    bool ok() const noexcept { return code_ == CROP_ASSIST_OK; }
    /// @return ok().
    explicit operator bool() const noexcept { return ok(); }
    /// @return The result code of the C call.
    int code() const noexcept { return code_; }
    /// @return The code's symbolic name (resultName()).
    const char* name() const noexcept { return resultName(code_); }
    /// @return The code's meaning (resultMeaning()).
    const char* meaning() const noexcept { return resultMeaning(code_); }

private:
    int code_;
};

/// The outcome of a call with a value: the value on success, the code otherwise. value() on a
/// failed result returns the C interface's preset for that call (an empty list for lists).
/// @tparam T The type of the value.
template <typename T>
class Result : public Status {
public:
    /// Wraps a result code and the value that the call left.
    /// @param code The result code of the C call.
    /// @param value The answer, or the preset on failure.
    Result(int code, T value) : Status(code), value_(std::move(value)) {}
    /// @return The value.
    const T& value() const& noexcept { return value_; }
    /// @return The value, moved out of a temporary result.
    T&& value() && noexcept { return std::move(value_); }
    /// @return The value.
    const T& operator*() const& noexcept { return value_; }
    /// @return The address of the value.
    const T* operator->() const noexcept { return &value_; }

private:
    T value_;
};

/// A device record, copied out of the library's storage (see TellanDeviceInfo).
struct Device {
    std::string sn;    ///< the identifier used by every per-device call
    std::string name;  ///< the display name
    std::string id;    ///< the service's own identifier of the device
};

/// One region of interest (see TellanROI).
using Roi = TellanROI;

/// A pan/tilt home position.
struct HomePoint {
    float pan = 0.0f;   ///< pan
    float tilt = 0.0f;  ///< tilt
};

namespace detail {

// The process-wide callback table behind the trampolines. A notice copies the function under
// the lock and calls it without the lock, so a callback may replace callbacks.
struct Callbacks {
    std::mutex mutex;
    std::function<void(const std::string&)> connected;
    std::function<void(const std::string&)> disconnected;
    std::function<void(int, const std::string&)> event;

    static Callbacks& get() {
        static Callbacks table;
        return table;
    }
};

inline void CROP_ASSIST_CALL connectedTrampoline(const char* device) {
    std::function<void(const std::string&)> f;
    {
        std::lock_guard<std::mutex> lock(Callbacks::get().mutex);
        f = Callbacks::get().connected;
    }
    if (f)
        f(device ? device : "");
}

inline void CROP_ASSIST_CALL disconnectedTrampoline(const char* device) {
    std::function<void(const std::string&)> f;
    {
        std::lock_guard<std::mutex> lock(Callbacks::get().mutex);
        f = Callbacks::get().disconnected;
    }
    if (f)
        f(device ? device : "");
}

inline void CROP_ASSIST_CALL eventTrampoline(int event, const char* text) {
    std::function<void(int, const std::string&)> f;
    {
        std::lock_guard<std::mutex> lock(Callbacks::get().mutex);
        f = Callbacks::get().event;
    }
    if (f)
        f(event, text ? text : "");
}

inline std::vector<Roi> copyRois(const TellanROI* rois, int count) {
    return count > 0 ? std::vector<Roi>(rois, rois + count) : std::vector<Roi>();
}

}  // namespace detail

/// One connection of this process to the service. Only one session should be alive at a time:
/// the library itself is process-wide. Every call returns the C function's code in its result;
/// `device` is always a device's sn.
class Session {
public:
    /// How the session reaches the service.
    enum class Mode {
        Start,  ///< crop_assist_init(): start the service from the library's directory
        Attach  ///< crop_assist_attach(): connect to a service that already runs
    };

    /// Starts or attaches; the outcome is in status().
    /// @param mode Whether to start the service or attach to a running one.
    explicit Session(Mode mode = Mode::Attach)
        : status_(mode == Mode::Start ? crop_assist_init() : crop_assist_attach()) {}
    /// Calls crop_assist_exit(), also after a failed start, which keeps the library's prepared
    /// state until exit.
    ~Session() { crop_assist_exit(); }
    Session(const Session&) = delete;             ///< not copyable: the library is process-wide
    Session& operator=(const Session&) = delete;  ///< not copyable: the library is process-wide

    /// @return The result of init or attach.
    const Status& status() const noexcept { return status_; }
    /// @return crop_assist_is_initialized(): whether the connection is up.
    bool connected() const { return crop_assist_is_initialized(); }

    /// crop_assist_is_enabled().
    /// @param device The device's sn.
    /// @return Whether crop assist is on.
    Result<bool> isEnabled(const std::string& device) const {
        bool v = false;
        const int rc = crop_assist_is_enabled(device.c_str(), &v);
        return {rc, v};
    }
    /// crop_assist_set_enabled().
    /// @param device The device's sn.
    /// @param enabled true to turn crop assist on.
    /// @return The outcome.
    Status setEnabled(const std::string& device, bool enabled) const {
        return crop_assist_set_enabled(device.c_str(), enabled);
    }
    /// crop_assist_get_mode().
    /// @param device The device's sn.
    /// @return The chosen mode.
    Result<TellanMode> mode(const std::string& device) const {
        TellanMode m = TELLAN_MODE_FRAMING;
        const int rc = crop_assist_get_mode(device.c_str(), &m);
        return {rc, m};
    }
    /// crop_assist_get_mode_effective().
    /// @param device The device's sn.
    /// @return The mode in effect.
    Result<TellanMode> effectiveMode(const std::string& device) const {
        TellanMode m = TELLAN_MODE_FRAMING;
        const int rc = crop_assist_get_mode_effective(device.c_str(), &m);
        return {rc, m};
    }
    /// crop_assist_set_mode().
    /// @param device The device's sn.
    /// @param mode The mode to choose.
    /// @return The outcome.
    Status setMode(const std::string& device, TellanMode mode) const {
        return crop_assist_set_mode(device.c_str(), mode);
    }
    /// crop_assist_is_mode_supported().
    /// @param device The device's sn.
    /// @param mode The mode asked about.
    /// @return Whether the device supports it.
    Result<bool> isModeSupported(const std::string& device, TellanMode mode) const {
        bool v = false;
        const int rc = crop_assist_is_mode_supported(device.c_str(), mode, &v);
        return {rc, v};
    }
    /// crop_assist_is_adjustment_active().
    /// @param device The device's sn.
    /// @return Whether the device is adjusting its picture.
    Result<bool> isAdjustmentActive(const std::string& device) const {
        bool v = false;
        const int rc = crop_assist_is_adjustment_active(device.c_str(), &v);
        return {rc, v};
    }
    /// crop_assist_is_auto_zoom_enabled().
    /// @param device The device's sn.
    /// @return Whether automatic zoom is on.
    Result<bool> isAutoZoomEnabled(const std::string& device) const {
        bool v = false;
        const int rc = crop_assist_is_auto_zoom_enabled(device.c_str(), &v);
        return {rc, v};
    }
    /// crop_assist_set_auto_zoom_enabled().
    /// @param device The device's sn.
    /// @param enabled true to turn automatic zoom on.
    /// @return The outcome.
    Status setAutoZoomEnabled(const std::string& device, bool enabled) const {
        return crop_assist_set_auto_zoom_enabled(device.c_str(), enabled);
    }
    /// crop_assist_get_cur_home_pt().
    /// @param device The device's sn.
    /// @return The home position.
    Result<HomePoint> homePoint(const std::string& device) const {
        HomePoint h;
        const int rc = crop_assist_get_cur_home_pt(device.c_str(), &h.pan, &h.tilt);
        return {rc, h};
    }
    /// crop_assist_set_home_pt().
    /// @param device The device's sn.
    /// @param pan The new home position's pan.
    /// @param tilt The new home position's tilt.
    /// @return The outcome.
    Status setHomePoint(const std::string& device, float pan, float tilt) const {
        return crop_assist_set_home_pt(device.c_str(), pan, tilt);
    }
    /// crop_assist_set_cur_pt_as_home().
    /// @param device The device's sn.
    /// @return The outcome.
    Status setCurrentAsHome(const std::string& device) const {
        return crop_assist_set_cur_pt_as_home(device.c_str());
    }
    /// crop_assist_trigger_home().
    /// @param device The device's sn.
    /// @return The outcome.
    Status goHome(const std::string& device) const {
        return crop_assist_trigger_home(device.c_str());
    }
    /// crop_assist_is_upload_crash_reports_enabled().
    /// @return Whether the service uploads crash reports.
    Result<bool> isUploadCrashReportsEnabled() const {
        bool v = false;
        const int rc = crop_assist_is_upload_crash_reports_enabled(&v);
        return {rc, v};
    }
    /// crop_assist_set_upload_crash_reports_enabled().
    /// @param enabled true to turn the upload on.
    /// @return The outcome.
    Status setUploadCrashReportsEnabled(bool enabled) const {
        return crop_assist_set_upload_crash_reports_enabled(enabled);
    }

    /// crop_assist_get_frame_rois(), copied: regions found in a frame of width * height
    /// pixels, 2 bytes each, in `pixfmt`.
    /// @param device The device's sn.
    /// @param pixels The frame's bytes, rows without padding; copied during the call.
    /// @param width Pixels per row.
    /// @param height Rows.
    /// @param pixfmt #TELLAN_PIXFMT_YUYV or #TELLAN_PIXFMT_UYVY.
    /// @return The regions; empty on failure.
    Result<std::vector<Roi>> frameRois(const std::string& device, const void* pixels,
                                       uint32_t width, uint32_t height,
                                       uint32_t pixfmt = TELLAN_PIXFMT_YUYV) const {
        const TellanROI* rois = nullptr;
        int count = 0;
        const int rc = crop_assist_get_frame_rois(
            device.c_str(), TellanFrame{pixels, width, height, pixfmt}, &rois, &count);
        return {rc, rc == CROP_ASSIST_OK ? detail::copyRois(rois, count) : std::vector<Roi>()};
    }
    /// crop_assist_get_last_frame_rois(), copied.
    /// @param device The device's sn.
    /// @return The regions found last for the device; empty on failure.
    Result<std::vector<Roi>> lastFrameRois(const std::string& device) const {
        const TellanROI* rois = nullptr;
        int count = 0;
        const int rc = crop_assist_get_last_frame_rois(device.c_str(), &rois, &count);
        return {rc, rc == CROP_ASSIST_OK ? detail::copyRois(rois, count) : std::vector<Roi>()};
    }

    /// crop_assist_get_devices(), copied.
    /// @return The devices, ordered by sn; empty on failure.
    Result<std::vector<Device>> devices() const {
        const TellanDeviceInfo* list = nullptr;
        int count = 0;
        const int rc = crop_assist_get_devices(&list, &count);
        std::vector<Device> out;
        if (rc == CROP_ASSIST_OK)
            for (int i = 0; i < count; ++i)
                out.push_back({list[i].sn, list[i].name, list[i].id});
        return {rc, std::move(out)};
    }
    /// crop_assist_get_device_info(), copied.
    /// @param device The device's sn.
    /// @return Its record; empty strings on failure.
    Result<Device> deviceInfo(const std::string& device) const {
        TellanDeviceInfo info{};
        const int rc = crop_assist_get_device_info(device.c_str(), &info);
        return {rc,
                Device{info.sn ? info.sn : "", info.name ? info.name : "", info.id ? info.id : ""}};
    }

    /// crop_assist_set_device_connected_callback() with a function. The callbacks run on the
    /// library's listener thread; a callback may replace callbacks.
    /// @param f Called with the sn of an arriving device; an empty function unsets it.
    /// @return The outcome (99 before init or attach).
    Status onDeviceConnected(std::function<void(const std::string&)> f) const {
        auto& table = detail::Callbacks::get();
        const bool set = static_cast<bool>(f);
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.connected = std::move(f);
        }
        return crop_assist_set_device_connected_callback(set ? detail::connectedTrampoline
                                                             : nullptr);
    }
    /// crop_assist_set_device_disconnected_callback() with a function.
    /// @param f Called with the sn of a lost device; an empty function unsets it.
    /// @return The outcome (99 before init or attach).
    Status onDeviceDisconnected(std::function<void(const std::string&)> f) const {
        auto& table = detail::Callbacks::get();
        const bool set = static_cast<bool>(f);
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.disconnected = std::move(f);
        }
        return crop_assist_set_device_disconnected_callback(set ? detail::disconnectedTrampoline
                                                                : nullptr);
    }
    /// crop_assist_set_device_event_callback() with a function.
    /// @param f Called with the event code and text; an empty function unsets it.
    /// @return The outcome (99 before init or attach).
    Status onDeviceEvent(std::function<void(int, const std::string&)> f) const {
        auto& table = detail::Callbacks::get();
        const bool set = static_cast<bool>(f);
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.event = std::move(f);
        }
        return crop_assist_set_device_event_callback(set ? detail::eventTrampoline : nullptr);
    }

private:
    Status status_;
};

}  // namespace crop_assist

#endif  // CROP_ASSIST_HPP
