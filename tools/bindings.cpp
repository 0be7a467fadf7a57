#include "bindings.h"

#include "frames.h"
#include "values.h"

#include <limits>
#include <memory>

namespace cropassist {

namespace {

using crop_assist::Session;
using crop_assist::Status;

Report make(const char* command, Object context, const Status& status, Object values = {}) {
    Report report{command, std::move(context), status.code(), {}};
    if (status.ok()) {
        report.values = std::move(values);
    }
    return report;
}

Object deviceContext(const std::string& device) {
    return {{"device", device}};
}

Value modeValue(TellanMode mode) {
    const Value number(static_cast<int>(mode));
    return *modeName(mode) ? number.withNote(modeName(mode)) : number;
}

Value roiList(const std::vector<crop_assist::Roi>& rois) {
    Array list;
    for (const auto& roi : rois) {
        list.emplace_back(
            Object{{"x", roi.x}, {"y", roi.y}, {"width", roi.width}, {"height", roi.height}});
    }
    return list;
}

Value deviceRecord(const crop_assist::Device& device) {
    return Object{{"sn", device.sn}, {"name", device.name}, {"id", device.id}};
}

// Subcommands of one device and a yes/no answer.
template <crop_assist::Result<bool> (Session::*query)(const std::string&) const>
Action bindDeviceQuery(const char* command, const char* key, const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = (s.*query)(device);
        return make(command, deviceContext(device), r, {{key, *r}});
    };
}

// Subcommands that switch something of one device on or off.
template <Status (Session::*setter)(const std::string&, bool) const>
Action bindDeviceSwitch(const char* command, const char* key, const Arguments& a) {
    const std::string device = a.positional[0];
    const bool on = parseSwitch(key, a.positional[1]);
    return [=](const Session& s) {
        return make(command, {{"device", device}, {key, on}}, (s.*setter)(device, on));
    };
}

template <Status (Session::*action)(const std::string&) const>
Action bindDeviceAction(const char* command, const Arguments& a) {
    const std::string device = a.positional[0];
    return
        [=](const Session& s) { return make(command, deviceContext(device), (s.*action)(device)); };
}

std::string requiredOption(const Arguments& a, const char* name) {
    const auto it = a.options.find(name);
    if (it == a.options.end()) {
        throw UsageError(std::string("missing ") + name);
    }
    return it->second;
}

}  // namespace

namespace bindings {

Action isInitialized(const Arguments&) {
    return [](const Session& s) {
        return make("is-initialized", {}, Status(), {{"initialized", s.connected()}});
    };
}

Action isEnabled(const Arguments& a) {
    return bindDeviceQuery<&Session::isEnabled>("is-enabled", "enabled", a);
}

Action setEnabled(const Arguments& a) {
    return bindDeviceSwitch<&Session::setEnabled>("set-enabled", "enabled", a);
}

Action getMode(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.mode(device);
        return make("get-mode", deviceContext(device), r, {{"mode", modeValue(*r)}});
    };
}

Action getModeEffective(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.effectiveMode(device);
        return make("get-mode-effective", deviceContext(device), r,
                    {{"effectiveMode", modeValue(*r)}});
    };
}

Action setMode(const Arguments& a) {
    const std::string device = a.positional[0];
    const TellanMode mode = parseMode(a.positional[1]);
    return [=](const Session& s) {
        return make("set-mode", {{"device", device}, {"mode", static_cast<int>(mode)}},
                    s.setMode(device, mode));
    };
}

Action isModeSupported(const Arguments& a) {
    const std::string device = a.positional[0];
    const TellanMode mode = parseMode(a.positional[1]);
    return [=](const Session& s) {
        const auto r = s.isModeSupported(device, mode);
        return make("is-mode-supported", {{"device", device}, {"mode", static_cast<int>(mode)}}, r,
                    {{"supported", *r}});
    };
}

Action isAdjustmentActive(const Arguments& a) {
    return bindDeviceQuery<&Session::isAdjustmentActive>("is-adjustment-active", "active", a);
}

Action isAutoZoomEnabled(const Arguments& a) {
    return bindDeviceQuery<&Session::isAutoZoomEnabled>("is-auto-zoom-enabled", "autoZoom", a);
}

Action setAutoZoomEnabled(const Arguments& a) {
    return bindDeviceSwitch<&Session::setAutoZoomEnabled>("set-auto-zoom-enabled", "autoZoom", a);
}

Action getCurHomePt(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.homePoint(device);
        return make("get-cur-home-pt", deviceContext(device), r,
                    {{"pan", r->pan}, {"tilt", r->tilt}});
    };
}

Action setHomePt(const Arguments& a) {
    const std::string device = a.positional[0];
    const float pan = parseFloat("the pan", a.positional[1]);
    const float tilt = parseFloat("the tilt", a.positional[2]);
    return [=](const Session& s) {
        return make("set-home-pt", {{"device", device}, {"pan", pan}, {"tilt", tilt}},
                    s.setHomePoint(device, pan, tilt));
    };
}

Action setCurPtAsHome(const Arguments& a) {
    return bindDeviceAction<&Session::setCurrentAsHome>("set-cur-pt-as-home", a);
}

Action triggerHome(const Arguments& a) {
    return bindDeviceAction<&Session::goHome>("trigger-home", a);
}

Action isUploadCrashReportsEnabled(const Arguments&) {
    return [](const Session& s) {
        const auto r = s.isUploadCrashReportsEnabled();
        return make("is-upload-crash-reports-enabled", {}, r, {{"uploadCrashReports", *r}});
    };
}

Action setUploadCrashReportsEnabled(const Arguments& a) {
    const bool on = parseSwitch("the setting", a.positional[0]);
    return [=](const Session& s) {
        return make("set-upload-crash-reports-enabled", {{"uploadCrashReports", on}},
                    s.setUploadCrashReportsEnabled(on));
    };
}

Action getFrameRois(const Arguments& a) {
    const std::string device = a.positional[0];
    const std::string path = requiredOption(a, "--file");
    constexpr std::int64_t maxSide = std::numeric_limits<std::uint32_t>::max();
    const auto width = static_cast<std::uint32_t>(
        parseInteger("the width", requiredOption(a, "--width"), 1, maxSide));
    const auto height = static_cast<std::uint32_t>(
        parseInteger("the height", requiredOption(a, "--height"), 1, maxSide));
    const auto found = a.options.find("--pixfmt");
    const std::uint32_t pixfmt = found == a.options.end() ? std::uint32_t{TELLAN_PIXFMT_YUYV}
                                                          : parsePixelFormat(found->second);
    // Shared, because an Action is copyable and the pixels may be large.
    const auto frame = std::make_shared<const RawFrame>(readFrameFile(path, width, height, pixfmt));
    return [=](const Session& s) {
        const auto r =
            s.frameRois(device, frame->pixels.data(), frame->width, frame->height, frame->pixfmt);
        return make("get-frame-rois", {{"device", device}, {"file", path}}, r,
                    {{"regions", roiList(*r)}});
    };
}

Action getLastFrameRois(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.lastFrameRois(device);
        return make("get-last-frame-rois", deviceContext(device), r, {{"regions", roiList(*r)}});
    };
}

Action getDevices(const Arguments&) {
    return [](const Session& s) {
        const auto r = s.devices();
        Array list;
        for (const auto& device : *r) {
            list.push_back(deviceRecord(device));
        }
        return make("get-devices", {}, r, {{"devices", std::move(list)}});
    };
}

Action getDeviceInfo(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.deviceInfo(device);
        return make("get-device-info", deviceContext(device), r,
                    {{"sn", r->sn}, {"name", r->name}, {"id", r->id}});
    };
}

}  // namespace bindings

}  // namespace cropassist
