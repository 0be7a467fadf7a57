// Scenario: how a test or a developer scripts the stand-in service before it starts, and the
// per-command scripts that can also be set later over the control channel.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <map>
#include <optional>

namespace omnivue {

// What the service does right after it has learnt its suffix, and how it answers the raw
// handshake of a host that started it.
struct StartupScript {
    std::optional<int> exitCode;  // end at once with this code
    bool crash = false;           // end at once as a crash
    bool neverListen = false;     // run on, but create neither the record nor the host servers
    std::optional<QByteArray> handshakeReply;  // instead of "ok"
    int handshakeDelayMs = 0;
    bool holdHandshake = false;  // never answer the raw handshake
    bool noCallbackServer = false;
};

// A scripted answer to the requests of one type. raw, drop and crash replace the answer (the
// simulator is not asked); reply, code, err and omit change the simulator's answer.
struct CommandScript {
    std::optional<QByteArray> raw;  // sent verbatim instead of the reply frame
    bool rawNoNul = false;          // with raw: no terminator after it
    std::optional<QJsonValue> reply;
    std::optional<int> code;
    std::optional<QString> err;
    bool omitCode = false;
    bool omitErr = false;
    bool omitReply = false;
    int delayMs = 0;
    bool crash = false;
    bool drop = false;  // close the connection instead of answering
    int times = -1;     // number of requests it still applies to; -1 for every one

    // Reads the JSON form; on failure returns nothing and sets `error`.
    static std::optional<CommandScript> fromJson(const QJsonValue& json, QString* error);
};

struct Scenario {
    StartupScript startup;
    std::optional<QJsonValue> ahshReply;  // instead of the computed boolean
    std::optional<QJsonArray> devices;    // replaces the default cameras
    std::optional<bool> uploadCrashReports;
    std::map<QString, CommandScript> commands;  // by request type

    // Reads a scenario document; on failure returns nothing and sets `error`. Unknown members
    // are refused so that a misspelt key does not silently do nothing.
    static std::optional<Scenario> parse(const QByteArray& json, QString* error);
};

// Loads the scenario from, in this order of precedence: `file` (the command-line option), the
// inline JSON in OMNIVUE_SCENARIO_JSON, the file named by OMNIVUE_SCENARIO. With none of them
// the scenario is empty. `source` tells where it came from, for the log.
std::optional<Scenario> loadScenario(const QString& file, QString* source, QString* error);

}  // namespace omnivue
