#include "commands.h"

#include "bindings.h"
#include "values.h"

#include <algorithm>

namespace cropassist {

namespace {

// What the call table does not say of a subcommand: its alias and more help.
struct Extra {
    const char* name;
    const char* alias;
    const char* details;
};

const Extra kExtras[] = {
    {"get-mode-effective", "",
     "It differs from the chosen mode while the device cannot serve that one."},
    {"set-mode", "",
     "MODE is a number or one of off (0), framing (1), group (2), speaker (3); other numbers "
     "are passed to the service unchanged."},
    {"is-mode-supported", "", "MODE as for set-mode."},
    {"get-cur-home-pt", "home", ""},
    {"set-home-pt", "set-home",
     "PAN and TILT are decimal numbers, e.g. set-home-pt CAM1 0.1 -0.2."},
    {"get-frame-rois", "frame-rois",
     "FILE holds one raw frame: W * H pixels of 2 bytes, rows without padding, in pixel "
     "format 1 (yuyv: Y0 U Y1 V, the default) or 2 (uyvy: U Y0 V Y1). Its size must be "
     "exactly W * H * 2 bytes. Each region is printed as x, y, width and height in pixels."},
    {"get-devices", "devices", ""},
    {"get-device-info", "device-info", ""},
};

std::vector<Command> made() {
    Command initialized;
    initialized.name = "is-initialized";
    initialized.summary = "whether the library is connected to the service";
    initialized.bind = [](const Arguments& a) { return isInitialized(a); };
    std::vector<Command> table{initialized};
    for (Command& command : callCommands()) {
        for (const Extra& extra : kExtras) {
            if (command.name == extra.name) {
                command.alias = extra.alias;
                command.details = extra.details;
            }
        }
        table.push_back(std::move(command));
    }
    return table;
}

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = made();
    return table;
}

const Command* findCommand(const std::string& name) {
    const auto& table = commands();
    const auto it = std::find_if(table.begin(), table.end(), [&](const Command& c) {
        return name == c.name || (!c.alias.empty() && name == c.alias);
    });
    return it == table.end() ? nullptr : &*it;
}

Action prepare(const Command& command, const std::vector<std::string>& words) {
    const std::string usage = " (usage: cropassist " + command.name +
                              (command.synopsis.empty() ? "" : " ") + command.synopsis + ")";
    Arguments arguments;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        // "--x" is an option; "-0.2" and "-" stay arguments.
        if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            const auto& known = command.options;
            const std::string name = word.substr(0, word.find('='));
            if (std::find_if(known.begin(), known.end(),
                             [&](const char* o) { return name == o; }) == known.end()) {
                throw UsageError(command.name + ": unknown option " + name + usage);
            }
            if (name.size() < word.size()) {
                arguments.options[name] = word.substr(name.size() + 1);
            } else if (i + 1 < words.size()) {
                arguments.options[name] = words[++i];
            } else {
                throw UsageError(command.name + ": " + name + " needs a value" + usage);
            }
        } else {
            arguments.positional.push_back(word);
        }
    }
    const std::size_t count = arguments.positional.size();
    if (count < command.minArgs) {
        throw UsageError(command.name + ": missing argument" + usage);
    }
    if (count > command.maxArgs) {
        throw UsageError(command.name + ": too many arguments" + usage);
    }
    try {
        return command.bind(arguments);
    } catch (const UsageError& e) {
        throw UsageError(command.name + ": " + e.what());
    }
}

}  // namespace cropassist
