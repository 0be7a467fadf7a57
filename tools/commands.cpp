#include "commands.h"

#include "bindings.h"
#include "values.h"

#include <algorithm>

namespace cropassist {

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
         bindings::isInitialized},
        {"is-enabled",
         "",
         "DEVICE",
         "whether crop assist is on",
         "",
         {},
         1,
         1,
         false,
         bindings::isEnabled},
        {"set-enabled",
         "",
         "DEVICE on|off",
         "switch crop assist on or off",
         "",
         {},
         2,
         2,
         false,
         bindings::setEnabled},
        {"get-mode",
         "",
         "DEVICE",
         "the chosen crop-assist mode",
         "",
         {},
         1,
         1,
         false,
         bindings::getMode},
        {"get-mode-effective",
         "",
         "DEVICE",
         "the mode in effect right now",
         "It differs from the chosen mode while the device cannot serve that one.",
         {},
         1,
         1,
         false,
         bindings::getModeEffective},
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
         bindings::setMode},
        {"is-mode-supported",
         "",
         "DEVICE MODE",
         "whether the device offers a mode",
         "MODE as for set-mode.",
         {},
         2,
         2,
         false,
         bindings::isModeSupported},
        {"is-adjustment-active",
         "",
         "DEVICE",
         "whether the device is adjusting its picture now",
         "",
         {},
         1,
         1,
         false,
         bindings::isAdjustmentActive},
        {"is-auto-zoom-enabled",
         "",
         "DEVICE",
         "whether automatic zoom is on",
         "",
         {},
         1,
         1,
         false,
         bindings::isAutoZoomEnabled},
        {"set-auto-zoom-enabled",
         "",
         "DEVICE on|off",
         "switch automatic zoom on or off",
         "",
         {},
         2,
         2,
         false,
         bindings::setAutoZoomEnabled},
        {"get-cur-home-pt",
         "home",
         "DEVICE",
         "the pan/tilt home position",
         "",
         {},
         1,
         1,
         false,
         bindings::getCurHomePt},
        {"set-home-pt",
         "set-home",
         "DEVICE PAN TILT",
         "set the pan/tilt home position",
         "PAN and TILT are decimal numbers, e.g. set-home-pt CAM1 0.1 -0.2.",
         {},
         3,
         3,
         false,
         bindings::setHomePt},
        {"set-cur-pt-as-home",
         "",
         "DEVICE",
         "make the current pan/tilt position the home",
         "",
         {},
         1,
         1,
         false,
         bindings::setCurPtAsHome},
        {"trigger-home",
         "",
         "DEVICE",
         "move the device to its home position",
         "",
         {},
         1,
         1,
         false,
         bindings::triggerHome},
        {"is-upload-crash-reports-enabled",
         "",
         "",
         "whether the service uploads crash reports",
         "",
         {},
         0,
         0,
         false,
         bindings::isUploadCrashReportsEnabled},
        {"set-upload-crash-reports-enabled",
         "",
         "on|off",
         "switch crash-report upload on or off",
         "",
         {},
         1,
         1,
         false,
         bindings::setUploadCrashReportsEnabled},
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
         bindings::getFrameRois},
        {"get-last-frame-rois",
         "",
         "DEVICE",
         "the regions the service found last for a device",
         "",
         {},
         1,
         1,
         false,
         bindings::getLastFrameRois},
        {"get-devices",
         "devices",
         "",
         "every device the service has announced (sn, name, id)",
         "",
         {},
         0,
         0,
         true,
         bindings::getDevices},
        {"get-device-info",
         "device-info",
         "SN",
         "one device's record",
         "",
         {},
         1,
         1,
         true,
         bindings::getDeviceInfo},
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
