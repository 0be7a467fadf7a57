// The subcommand table of the command-line host: one entry per exported query or command of
// the library, with its arguments, help and the call it makes.
#pragma once

#include "output.h"

#include "crop_assist.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace cropassist {

// The words after a subcommand's name: positional arguments and "--name value" options.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

// A checked call, ready to run against a session.
using Action = std::function<Report(const crop_assist::Session&)>;

struct Command {
    std::string name;
    std::string alias;                 // "" when there is none
    std::string synopsis;              // the arguments, e.g. "DEVICE MODE"
    std::string summary;               // one line for the overview
    std::string details;               // more help, may be ""
    std::vector<const char*> options;  // accepted options, each taking one value
    std::size_t minArgs = 0;
    std::size_t maxArgs = 0;
    // Answered from the library's device registry, which fills from the service's announcements
    // after the session opens (see awaitAnnouncements).
    bool readsRegistry = false;
    // Checks the arguments and binds them into the call; throws UsageError.
    std::function<Action(const Arguments& arguments)> bind;
};

const std::vector<Command>& commands();
// By name or alias; nullptr when unknown.
const Command* findCommand(const std::string& name);

// Splits and checks the words after the subcommand's name, then binds them. Throws UsageError
// (naming the subcommand) for an unknown option, a missing value or a wrong argument count.
Action prepare(const Command& command, const std::vector<std::string>& words);

std::string commandHelp(const Command& command);
std::string overviewHelp();

}  // namespace cropassist
