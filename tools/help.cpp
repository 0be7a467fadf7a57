// The help texts of the command-line host.
#include "commands.h"

#include "values.h"

#include <algorithm>
#include <cctype>

namespace cropassist {

namespace {

constexpr const char* kOptions =
    "Options (anywhere on the line):\n"
    "  --start        start a service of this tool's own for the command and stop it after\n"
    "                 (crop_assist_init) instead of attaching to a running one\n"
    "  --attach       attach to a service that already runs (crop_assist_attach; the default)\n"
    "  --json         print one JSON object per line: results, notices and errors\n"
    "  -v, --verbose  also show the library's debug and info log lines\n"
    "  -h, --help     show this help, or the help of the subcommand\n"
    "  --version      print the version of the library's interface\n";

std::string synopsisLine(const Command& command) {
    return std::string(command.name) + (*command.synopsis ? " " : "") + command.synopsis;
}

}  // namespace

std::string commandHelp(const Command& command) {
    std::string text = "Usage: cropassist [OPTIONS] " + synopsisLine(command) + "\n";
    if (*command.alias) {
        text += "   or: cropassist [OPTIONS] " + std::string(command.alias) +
                (*command.synopsis ? " " : "") + command.synopsis + "\n";
    }
    text += "\n" + std::string(1, static_cast<char>(std::toupper(command.summary[0]))) +
            (command.summary + 1) + ".\n";
    if (*command.details) {
        text += std::string(command.details) + "\n";
    }
    return text + "\n" + kOptions;
}

std::string overviewHelp() {
    std::string text =
        "Usage: cropassist [OPTIONS] SUBCOMMAND [ARGUMENTS]\n"
        "       cropassist [OPTIONS] watch | shell\n"
        "       cropassist help [SUBCOMMAND]\n"
        "\n"
        "Controls the crop-assist service through libcrop_assist: one subcommand per function\n"
        "of the library. DEVICE is a device's sn as listed by get-devices.\n"
        "\n";
    text += kOptions;
    text += "\nSubcommands:\n";
    std::size_t width = 0;
    for (const Command& command : commands()) {
        width = std::max(width, std::string(command.name).size());
    }
    for (const Command& command : commands()) {
        std::string line = "  " + std::string(command.name);
        line.resize(width + 4, ' ');
        line += command.summary;
        if (*command.alias) {
            line += std::string(" (alias ") + command.alias + ")";
        }
        text += line + "\n";
    }
    std::string watch = "  watch";
    watch.resize(width + 4, ' ');
    std::string shell = "  shell";
    shell.resize(width + 4, ' ');
    text += watch + "print device arrivals, losses and events until Ctrl-C\n";
    text += shell + "read subcommands line by line from standard input in one session\n";
    text +=
        "\n"
        "Exit status: 0 on success; otherwise the library's result code (1 device not found or\n"
        "start-up failed, 2 another service runs, 11 no engine, 97 service crashed, 99 not\n"
        "connected, 100 other failure, or the service's own code; codes outside 1..255 exit\n"
        "with 100). Bad input (unknown subcommand, missing or malformed argument, unusable\n"
        "frame file) exits with " +
        std::to_string(kUsageStatus) + ", the library's code for an invalid argument.\n";
    return text;
}

}  // namespace cropassist
