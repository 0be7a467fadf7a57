// cropassist: a command-line host of the crop-assist library. One subcommand per function of
// the library, plus watch (notices until Ctrl-C) and shell (one session, commands from stdin).
#include "commands.h"
#include "hostsystem.h"
#include "output.h"
#include "replay.h"
#include "session.h"
#include "values.h"

#include "crop_assist.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace cropassist;

struct Invocation {
    bool start = false;
    bool json = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the subcommand and its own words
    int argc = 0;
    char** argv = nullptr;
};

// The tool's options may stand anywhere; everything else belongs to the subcommand.
Invocation parseInvocation(int argc, char** argv) {
    Invocation invocation;
    invocation.argc = argc;
    invocation.argv = argv;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--start") {
            invocation.start = true;
        } else if (word == "--attach") {
            invocation.start = false;
        } else if (word == "--json") {
            invocation.json = true;
        } else if (word == "-v" || word == "--verbose") {
            invocation.verbose = true;
        } else if (word == "-h" || word == "--help") {
            invocation.help = true;
        } else if (word == "--version") {
            invocation.version = true;
        } else {
            invocation.words.push_back(word);
        }
    }
    return invocation;
}

int usageError(Output& output, const std::string& command, const std::string& message) {
    output.error(command, kUsageStatus, message);
    return kUsageStatus;
}

int run(const Invocation& invocation, Output& output) {
    if (invocation.version) {
        std::printf("cropassist %s\n", CROP_ASSIST_VERSION_STRING);
        return 0;
    }
    const std::vector<std::string>& words = invocation.words;
    if (words.empty() || words[0] == "help") {
        const Command* command = words.size() > 1 ? findCommand(words[1]) : nullptr;
        if (words.size() > 1 && !command && words[1] != "watch" && words[1] != "shell") {
            return usageError(output, "help", "unknown subcommand '" + words[1] + "'");
        }
        if (words.empty() && !invocation.help) {
            std::fputs(overviewHelp().c_str(), stderr);
            return kUsageStatus;
        }
        std::fputs(command ? commandHelp(*command).c_str() : overviewHelp().c_str(), stdout);
        return 0;
    }
    const std::string& name = words[0];
    if (name.size() > 1 && name[0] == '-') {
        return usageError(output, name, "unknown option " + name + " (see cropassist --help)");
    }
    const Command* command = findCommand(name);
    if (invocation.help) {
        std::fputs(command ? commandHelp(*command).c_str() : overviewHelp().c_str(), stdout);
        return 0;
    }
    if (name == "replay") {
        return runReplay(std::vector<std::string>(words.begin() + 1, words.end()), invocation.argc,
                         invocation.argv, output);
    }
    if (name == "watch" || name == "shell") {
        if (words.size() > 1) {
            return usageError(output, name,
                              name + ": too many arguments (usage: cropassist " + name + ")");
        }
        return name == "watch" ? runWatch(invocation.start, output)
                               : runShell(invocation.start, output);
    }
    if (!command) {
        return usageError(output, name,
                          "unknown subcommand '" + name + "' (see cropassist --help)");
    }
    Action action;
    try {
        action = prepare(*command, std::vector<std::string>(words.begin() + 1, words.end()));
    } catch (const UsageError& e) {
        return usageError(output, command->name, e.what());
    }
    return runOnce(*command, action, invocation.start, output);
}

}  // namespace

int main(int argc, char** argv) {
    const Invocation invocation = parseInvocation(argc, argv);
    // On Windows Qt sends a program's log to the debugger unless it has a console; a command-line
    // tool's user reads it on the standard error, also when that is a pipe.
    setDefaultEnvironment("QT_FORCE_STDERR_LOGGING", "1");
    if (!invocation.verbose) {
        // The library logs through Qt's logger; its failure lines (critical) and warnings stay
        // visible, its chatter about loading and unloading does not.
        setDefaultEnvironment("QT_LOGGING_RULES", "*.debug=false;*.info=false");
    }
    Output output(invocation.json);
    try {
        return run(invocation, output);
    } catch (const std::exception& e) {
        output.error(invocation.words.empty() ? "" : invocation.words[0], CROP_ASSIST_FAILURE,
                     std::string("unexpected failure: ") + e.what());
        return CROP_ASSIST_FAILURE;
    }
}
