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

// Breaks a paragraph into lines of at most `width` characters at blanks.
std::string wrap(const std::string& paragraph, std::size_t width = 80) {
    std::string out;
    std::string line;
    std::size_t start = 0;
    while (start < paragraph.size()) {
        std::size_t end = paragraph.find(' ', start);
        end = end == std::string::npos ? paragraph.size() : end;
        const std::string word = paragraph.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line + "\n";
}

std::string synopsisLine(const Command& command) {
    return command.name + (command.synopsis.empty() ? "" : " ") + command.synopsis;
}

}  // namespace

std::string commandHelp(const Command& command) {
    std::string text = "Usage: cropassist [OPTIONS] " + synopsisLine(command) + "\n";
    if (!command.alias.empty()) {
        text += "   or: cropassist [OPTIONS] " + command.alias +
                (command.synopsis.empty() ? "" : " ") + command.synopsis + "\n";
    }
    text += "\n" + std::string(1, static_cast<char>(std::toupper(command.summary[0]))) +
            command.summary.substr(1) + ".\n";
    if (!command.details.empty()) {
        text += wrap(command.details);
    }
    return text + "\n" + kOptions;
}

std::string overviewHelp() {
    std::string text =
        "Usage: cropassist [OPTIONS] SUBCOMMAND [ARGUMENTS]\n"
        "       cropassist [OPTIONS] watch | shell\n"
        "       cropassist replay [--print] [--scrub] [--keyed] FILE [--out FILE]\n"
        "       cropassist help [SUBCOMMAND]\n"
        "\n"
        "Controls the crop-assist service through libcrop_assist: one subcommand per function\n"
        "of the library.\n"
        "\n";
    text += kOptions;
    text += "\nSubcommands (DEVICE is a device's sn):\n";
    constexpr std::size_t kColumn = 34;
    const auto entry = [&text](const std::string& usage, const std::string& summary) {
        std::string line = "  " + usage;
        // A long synopsis gets its summary on the next line.
        line += line.size() + 2 > kColumn ? "\n" + std::string(kColumn, ' ')
                                          : std::string(kColumn - line.size(), ' ');
        text += line + summary + "\n";
    };
    for (const Command& command : commands()) {
        entry(synopsisLine(command),
              command.summary +
                  (command.alias.empty() ? std::string() : " (alias " + command.alias + ")"));
    }
    entry("watch", "print device arrivals, losses and events until Ctrl-C");
    entry("shell", "read subcommands line by line from standard input, one session");
    entry("replay [--keyed] FILE", "replay a recorded session and compare (docs/recording.md)");
    entry("replay --print [--scrub] FILE", "show a recorded session readably");
    entry("replay --scrub FILE --out FILE", "copy a recording with its devices replaced by tokens");
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
