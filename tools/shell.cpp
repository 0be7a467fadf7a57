// The shell subcommand: one session, subcommands read line by line from standard input.
#include "hostsystem.h"
#include "session.h"
#include "values.h"

#include <cctype>
#include <iostream>
#include <optional>

namespace cropassist {

namespace {

constexpr const char* kShellHelp =
    "Shell words besides the subcommands (help SUBCOMMAND for one of them):\n"
    "  init      start the service (crop_assist_init) when there is no session\n"
    "  attach    attach to a running service (crop_assist_attach) when there is no session\n"
    "  exit      end the session (crop_assist_exit); init or attach opens a new one\n"
    "  quit      leave the shell (also at the end of the input)\n"
    "Arguments are separated by blanks; \"double quotes\" keep blanks, \\ escapes the next "
    "character.\nLines starting with # are ignored. Device notices are printed as they come.\n";

// Splits a line into words; throws UsageError for an unclosed quote.
std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        throw UsageError("unclosed quote");
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

// The shell's state: the session, if one is open, and where to print.
class Shell {
public:
    explicit Shell(Output& output) : output_(output) {}

    void open(bool start) {
        int code = 0;
        session_ = openSession(start, output_, &code);
        if (session_) {
            awaitAnnouncements(*session_);
            showNotices(*session_, output_);
        }
        status_ = exitStatus(code);
    }

    // Returns false for "quit".
    bool execute(const std::vector<std::string>& words) {
        const std::string& name = words[0];
        const std::vector<std::string> rest(words.begin() + 1, words.end());
        if (name == "quit") {
            return false;
        }
        if (name == "help" || name == "--help" || name == "-h") {
            help(rest);
        } else if (name == "init" || name == "attach") {
            lifecycle(name == "init");
        } else if (name == "exit") {
            session_.reset();
            output_.report(Report{"exit", {}, CROP_ASSIST_OK, {}});
            status_ = 0;
        } else {
            run(name, rest);
        }
        return true;
    }

    int status() const { return status_; }

private:
    void help(const std::vector<std::string>& rest) {
        const Command* command = rest.empty() ? nullptr : findCommand(rest[0]);
        std::fputs(
            command ? commandHelp(*command).c_str() : (overviewHelp() + "\n" + kShellHelp).c_str(),
            stdout);
        std::fflush(stdout);
        status_ = 0;
    }

    void lifecycle(bool start) {
        if (!session_) {
            open(start);
            if (session_) {
                output_.report(Report{start ? "init" : "attach", {}, CROP_ASSIST_OK, {}});
            }
            return;
        }
        // With a session open the library answers 0 and changes nothing; show that.
        const int code = start ? crop_assist_init() : crop_assist_attach();
        output_.report(Report{start ? "init" : "attach", {}, code, {}});
        status_ = exitStatus(code);
    }

    void run(const std::string& name, const std::vector<std::string>& rest) {
        const Command* command = findCommand(name);
        if (!command) {
            output_.error(name, kUsageStatus,
                          "unknown subcommand '" + name + "' (help lists them)");
            status_ = kUsageStatus;
            return;
        }
        for (const std::string& word : rest) {
            if (word == "--help" || word == "-h") {
                help({name});
                return;
            }
        }
        Action action;
        try {
            action = prepare(*command, rest);
        } catch (const UsageError& e) {
            output_.error(name, kUsageStatus, e.what());
            status_ = kUsageStatus;
            return;
        }
        if (!session_) {
            output_.error(name, CROP_ASSIST_NOT_INITIALIZED,
                          "no session: open one with init or attach");
            status_ = CROP_ASSIST_NOT_INITIALIZED;
            return;
        }
        const Report report = action(*session_);
        output_.report(report);
        status_ = exitStatus(report.code);
    }

    Output& output_;
    std::unique_ptr<crop_assist::Session> session_;
    int status_ = 0;
};

}  // namespace

int runShell(bool start, Output& output) {
    Shell shell(output);
    shell.open(start);
    const bool prompt = stdinIsTerminal();
    std::string line;
    while (true) {
        if (prompt) {
            std::fputs("cropassist> ", stdout);
            std::fflush(stdout);
        }
        if (!std::getline(std::cin, line)) {
            break;
        }
        std::vector<std::string> words;
        try {
            words = splitWords(line);
        } catch (const UsageError& e) {
            output.error("shell", kUsageStatus, e.what());
            continue;
        }
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        if (!shell.execute(words)) {
            break;
        }
    }
    return shell.status();
}

}  // namespace cropassist
