#include "commands.h"

#include "frames.h"
#include "values.h"

#include <algorithm>
#include <cstring>
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

Action bindIsInitialized(const Arguments&) {
    return [](const Session& s) {
        return make("is-initialized", {}, Status(), {{"initialized", s.connected()}});
    };
}

Action bindIsEnabled(const Arguments& a) {
    return bindDeviceQuery<&Session::isEnabled>("is-enabled", "enabled", a);
}

Action bindSetEnabled(const Arguments& a) {
    return bindDeviceSwitch<&Session::setEnabled>("set-enabled", "enabled", a);
}

Action bindGetMode(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.mode(device);
        return make("get-mode", deviceContext(device), r, {{"mode", modeValue(*r)}});
    };
}

Action bindGetModeEffective(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.effectiveMode(device);
        return make("get-mode-effective", deviceContext(device), r,
                    {{"effectiveMode", modeValue(*r)}});
    };
}

Action bindSetMode(const Arguments& a) {
    const std::string device = a.positional[0];
    const TellanMode mode = parseMode(a.positional[1]);
    return [=](const Session& s) {
        return make("set-mode", {{"device", device}, {"mode", static_cast<int>(mode)}},
                    s.setMode(device, mode));
    };
}

Action bindIsModeSupported(const Arguments& a) {
    const std::string device = a.positional[0];
    const TellanMode mode = parseMode(a.positional[1]);
    return [=](const Session& s) {
        const auto r = s.isModeSupported(device, mode);
        return make("is-mode-supported", {{"device", device}, {"mode", static_cast<int>(mode)}}, r,
                    {{"supported", *r}});
    };
}

Action bindIsAdjustmentActive(const Arguments& a) {
    return bindDeviceQuery<&Session::isAdjustmentActive>("is-adjustment-active", "active", a);
}

Action bindIsAutoZoomEnabled(const Arguments& a) {
    return bindDeviceQuery<&Session::isAutoZoomEnabled>("is-auto-zoom-enabled", "autoZoom", a);
}

Action bindSetAutoZoomEnabled(const Arguments& a) {
    return bindDeviceSwitch<&Session::setAutoZoomEnabled>("set-auto-zoom-enabled", "autoZoom", a);
}

Action bindGetCurHomePt(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.homePoint(device);
        return make("get-cur-home-pt", deviceContext(device), r,
                    {{"pan", r->pan}, {"tilt", r->tilt}});
    };
}

Action bindSetHomePt(const Arguments& a) {
    const std::string device = a.positional[0];
    const float pan = parseFloat("the pan", a.positional[1]);
    const float tilt = parseFloat("the tilt", a.positional[2]);
    return [=](const Session& s) {
        return make("set-home-pt", {{"device", device}, {"pan", pan}, {"tilt", tilt}},
                    s.setHomePoint(device, pan, tilt));
    };
}

Action bindSetCurPtAsHome(const Arguments& a) {
    return bindDeviceAction<&Session::setCurrentAsHome>("set-cur-pt-as-home", a);
}

Action bindTriggerHome(const Arguments& a) {
    return bindDeviceAction<&Session::goHome>("trigger-home", a);
}

Action bindIsUploadCrashReportsEnabled(const Arguments&) {
    return [](const Session& s) {
        const auto r = s.isUploadCrashReportsEnabled();
        return make("is-upload-crash-reports-enabled", {}, r, {{"uploadCrashReports", *r}});
    };
}

Action bindSetUploadCrashReportsEnabled(const Arguments& a) {
    const bool on = parseSwitch("the setting", a.positional[0]);
    return [=](const Session& s) {
        return make("set-upload-crash-reports-enabled", {{"uploadCrashReports", on}},
                    s.setUploadCrashReportsEnabled(on));
    };
}

std::string requiredOption(const Arguments& a, const char* name) {
    const auto it = a.options.find(name);
    if (it == a.options.end()) {
        throw UsageError(std::string("missing ") + name);
    }
    return it->second;
}

Action bindGetFrameRois(const Arguments& a) {
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

Action bindGetLastFrameRois(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.lastFrameRois(device);
        return make("get-last-frame-rois", deviceContext(device), r, {{"regions", roiList(*r)}});
    };
}

Action bindGetDevices(const Arguments&) {
    return [](const Session& s) {
        const auto r = s.devices();
        Array list;
        for (const auto& device : *r) {
            list.push_back(deviceRecord(device));
        }
        return make("get-devices", {}, r, {{"devices", std::move(list)}});
    };
}

Action bindGetDeviceInfo(const Arguments& a) {
    const std::string device = a.positional[0];
    return [=](const Session& s) {
        const auto r = s.deviceInfo(device);
        return make("get-device-info", deviceContext(device), r,
                    {{"sn", r->sn}, {"name", r->name}, {"id", r->id}});
    };
}

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"is-initialized",
         "",
         "",
         "whether the library is connected to the service",
         "",
         {},
         0,
         0,
         false,
         bindIsInitialized},
        {"is-enabled",
         "",
         "DEVICE",
         "whether crop assist is on",
         "",
         {},
         1,
         1,
         false,
         bindIsEnabled},
        {"set-enabled",
         "",
         "DEVICE on|off",
         "switch crop assist on or off",
         "",
         {},
         2,
         2,
         false,
         bindSetEnabled},
        {"get-mode", "", "DEVICE", "the chosen crop-assist mode", "", {}, 1, 1, false, bindGetMode},
        {"get-mode-effective",
         "",
         "DEVICE",
         "the mode in effect right now",
         "It differs from the chosen mode while the device cannot serve that one.",
         {},
         1,
         1,
         false,
         bindGetModeEffective},
        {"set-mode",
         "",
         "DEVICE MODE",
         "choose the crop-assist mode",
         "MODE is a number or one of off (0), framing (1), group (2), speaker (3); other numbers "
         "are passed to the service unchanged.",
         {},
         2,
         2,
         false,
         bindSetMode},
        {"is-mode-supported",
         "",
         "DEVICE MODE",
         "whether the device offers a mode",
         "MODE as for set-mode.",
         {},
         2,
         2,
         false,
         bindIsModeSupported},
        {"is-adjustment-active",
         "",
         "DEVICE",
         "whether the device is adjusting its picture now",
         "",
         {},
         1,
         1,
         false,
         bindIsAdjustmentActive},
        {"is-auto-zoom-enabled",
         "",
         "DEVICE",
         "whether automatic zoom is on",
         "",
         {},
         1,
         1,
         false,
         bindIsAutoZoomEnabled},
        {"set-auto-zoom-enabled",
         "",
         "DEVICE on|off",
         "switch automatic zoom on or off",
         "",
         {},
         2,
         2,
         false,
         bindSetAutoZoomEnabled},
        {"get-cur-home-pt",
         "home",
         "DEVICE",
         "the pan/tilt home position",
         "",
         {},
         1,
         1,
         false,
         bindGetCurHomePt},
        {"set-home-pt",
         "set-home",
         "DEVICE PAN TILT",
         "set the pan/tilt home position",
         "PAN and TILT are decimal numbers, e.g. set-home-pt CAM1 0.1 -0.2.",
         {},
         3,
         3,
         false,
         bindSetHomePt},
        {"set-cur-pt-as-home",
         "",
         "DEVICE",
         "make the current pan/tilt position the home",
         "",
         {},
         1,
         1,
         false,
         bindSetCurPtAsHome},
        {"trigger-home",
         "",
         "DEVICE",
         "move the device to its home position",
         "",
         {},
         1,
         1,
         false,
         bindTriggerHome},
        {"is-upload-crash-reports-enabled",
         "",
         "",
         "whether the service uploads crash reports",
         "",
         {},
         0,
         0,
         false,
         bindIsUploadCrashReportsEnabled},
        {"set-upload-crash-reports-enabled",
         "",
         "on|off",
         "switch crash-report upload on or off",
         "",
         {},
         1,
         1,
         false,
         bindSetUploadCrashReportsEnabled},
        {"get-frame-rois",
         "frame-rois",
         "DEVICE --file FILE --width W --height H [--pixfmt 1|2]",
         "regions of interest the service finds in a frame",
         "FILE holds one raw frame: W * H pixels of 2 bytes, rows without padding, in pixel "
         "format 1 (yuyv: Y0 U Y1 V, the default) or 2 (uyvy: U Y0 V Y1). Its size must be "
         "exactly W * H * 2 bytes. Each region is printed as x, y, width and height in pixels.",
         {"--file", "--width", "--height", "--pixfmt"},
         1,
         1,
         false,
         bindGetFrameRois},
        {"get-last-frame-rois",
         "",
         "DEVICE",
         "the regions the service found last for a device",
         "",
         {},
         1,
         1,
         false,
         bindGetLastFrameRois},
        {"get-devices",
         "devices",
         "",
         "every device the service has announced (sn, name, id)",
         "",
         {},
         0,
         0,
         true,
         bindGetDevices},
        {"get-device-info",
         "device-info",
         "SN",
         "one device's record",
         "",
         {},
         1,
         1,
         true,
         bindGetDeviceInfo},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    const auto& table = commands();
    const auto it = std::find_if(table.begin(), table.end(), [&](const Command& c) {
        return name == c.name || (*c.alias && name == c.alias);
    });
    return it == table.end() ? nullptr : &*it;
}

Action prepare(const Command& command, const std::vector<std::string>& words) {
    const std::string usage = std::string(" (usage: cropassist ") + command.name +
                              (*command.synopsis ? " " : "") + command.synopsis + ")";
    Arguments arguments;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        // "--x" is an option; "-0.2" and "-" stay arguments.
        if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            const auto& known = command.options;
            const std::string name = word.substr(0, word.find('='));
            if (std::find_if(known.begin(), known.end(),
                             [&](const char* o) { return name == o; }) == known.end()) {
                throw UsageError(std::string(command.name) + ": unknown option " + name + usage);
            }
            if (name.size() < word.size()) {
                arguments.options[name] = word.substr(name.size() + 1);
            } else if (i + 1 < words.size()) {
                arguments.options[name] = words[++i];
            } else {
                throw UsageError(std::string(command.name) + ": " + name + " needs a value" +
                                 usage);
            }
        } else {
            arguments.positional.push_back(word);
        }
    }
    const std::size_t count = arguments.positional.size();
    if (count < command.minArgs) {
        throw UsageError(std::string(command.name) + ": missing argument" + usage);
    }
    if (count > command.maxArgs) {
        throw UsageError(std::string(command.name) + ": too many arguments" + usage);
    }
    try {
        return command.bind(arguments);
    } catch (const UsageError& e) {
        throw UsageError(std::string(command.name) + ": " + e.what());
    }
}

}  // namespace cropassist
