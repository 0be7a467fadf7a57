#include "scenario.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QtGlobal>

#include <cmath>
#include <limits>

namespace omnivue {

namespace {

// Reads typed members of one JSON object and remembers the first failure, naming the member by
// its path so that a developer finds the mistake in a long scenario.
class MemberReader {
public:
    MemberReader(const QJsonObject& object, QString path, QString* error)
        : object_(object), path_(std::move(path)), error_(error) {}

    bool failed() const { return failed_; }

    void allowOnly(const QStringList& names) {
        for (auto it = object_.begin(); it != object_.end(); ++it) {
            if (!names.contains(it.key()))
                fail(it.key(), QStringLiteral("unknown member"));
        }
    }

    bool has(const QString& name) const { return object_.contains(name); }
    QJsonValue value(const QString& name) const { return object_.value(name); }

    void boolean(const QString& name, bool* out) {
        const auto v = optionalBoolean(name);
        if (v)
            *out = *v;
    }

    std::optional<bool> optionalBoolean(const QString& name) {
        if (!has(name))
            return std::nullopt;
        const QJsonValue v = value(name);
        if (!v.isBool()) {
            fail(name, QStringLiteral("expected true or false"));
            return std::nullopt;
        }
        return v.toBool();
    }

    std::optional<int> integer(const QString& name, int min) {
        if (!has(name))
            return std::nullopt;
        const QJsonValue v = value(name);
        const double d = v.toDouble();
        if (!v.isDouble() || std::floor(d) != d || d < min || d > std::numeric_limits<int>::max()) {
            fail(name, QStringLiteral("expected a whole number of at least %1").arg(min));
            return std::nullopt;
        }
        return static_cast<int>(d);
    }

    std::optional<QString> string(const QString& name) {
        if (!has(name))
            return std::nullopt;
        const QJsonValue v = value(name);
        if (!v.isString()) {
            fail(name, QStringLiteral("expected a string"));
            return std::nullopt;
        }
        return v.toString();
    }

    QJsonObject object(const QString& name) {
        const QJsonValue v = value(name);
        if (!v.isUndefined() && !v.isObject())
            fail(name, QStringLiteral("expected an object"));
        return v.toObject();
    }

    QString pathOf(const QString& name) const {
        return path_.isEmpty() ? name : path_ + QLatin1Char('.') + name;
    }

    void fail(const QString& name, const QString& what) {
        if (failed_)
            return;
        failed_ = true;
        *error_ = QStringLiteral("%1: %2").arg(pathOf(name), what);
    }

private:
    QJsonObject object_;
    QString path_;
    QString* error_;
    bool failed_ = false;
};

std::optional<CommandScript> readCommandScript(const QJsonValue& json, const QString& path,
                                               QString* error) {
    if (!json.isObject()) {
        *error = QStringLiteral("%1: expected an object").arg(path);
        return std::nullopt;
    }
    MemberReader in(json.toObject(), path, error);
    in.allowOnly(
        {"raw", "rawNoNul", "reply", "code", "err", "omit", "delayMs", "crash", "drop", "times"});
    CommandScript script;
    if (const auto raw = in.string("raw"))
        script.raw = raw->toUtf8();
    in.boolean("rawNoNul", &script.rawNoNul);
    if (in.has("reply"))
        script.reply = in.value("reply");
    script.code = in.integer("code", std::numeric_limits<int>::min());
    script.err = in.string("err");
    if (in.has("omit")) {
        const QJsonValue omit = in.value("omit");
        for (const QJsonValue& member : omit.toArray()) {
            const QString name = member.toString();
            if (name == QLatin1String("code"))
                script.omitCode = true;
            else if (name == QLatin1String("err"))
                script.omitErr = true;
            else if (name == QLatin1String("reply"))
                script.omitReply = true;
            else
                in.fail("omit", QStringLiteral("members are \"code\", \"err\" and \"reply\""));
        }
        if (!omit.isArray())
            in.fail("omit", QStringLiteral("expected an array"));
    }
    script.delayMs = in.integer("delayMs", 0).value_or(0);
    in.boolean("crash", &script.crash);
    in.boolean("drop", &script.drop);
    script.times = in.integer("times", 1).value_or(-1);
    if (script.rawNoNul && !script.raw)
        in.fail("rawNoNul", QStringLiteral("needs \"raw\""));
    if (in.failed())
        return std::nullopt;
    return script;
}

bool readStartup(MemberReader& root, StartupScript* startup, QString* error) {
    MemberReader in(root.object("startup"), root.pathOf("startup"), error);
    in.allowOnly({"exitCode", "crash", "neverListen", "handshakeReply", "handshakeDelayMs",
                  "holdHandshake", "noCallbackServer"});
    startup->exitCode = in.integer("exitCode", 0);
    in.boolean("crash", &startup->crash);
    in.boolean("neverListen", &startup->neverListen);
    if (const auto reply = in.string("handshakeReply"))
        startup->handshakeReply = reply->toUtf8();
    startup->handshakeDelayMs = in.integer("handshakeDelayMs", 0).value_or(0);
    in.boolean("holdHandshake", &startup->holdHandshake);
    in.boolean("noCallbackServer", &startup->noCallbackServer);
    return !in.failed();
}

}  // namespace

std::optional<CommandScript> CommandScript::fromJson(const QJsonValue& json, QString* error) {
    return readCommandScript(json, QStringLiteral("script"), error);
}

std::optional<Scenario> Scenario::parse(const QByteArray& json, QString* error) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("expected a JSON object");
        return std::nullopt;
    }
    Scenario scenario;
    MemberReader in(doc.object(), QString(), error);
    in.allowOnly({"startup", "ahshReply", "devices", "uploadCrashReports", "commands"});
    if (in.failed() || !readStartup(in, &scenario.startup, error))
        return std::nullopt;
    if (in.has("ahshReply"))
        scenario.ahshReply = in.value("ahshReply");
    if (in.has("devices")) {
        if (!in.value("devices").isArray())
            in.fail("devices", QStringLiteral("expected an array"));
        scenario.devices = in.value("devices").toArray();
    }
    scenario.uploadCrashReports = in.optionalBoolean("uploadCrashReports");
    const QJsonObject commands = in.object("commands");
    if (in.failed())
        return std::nullopt;
    for (auto it = commands.begin(); it != commands.end(); ++it) {
        auto script = readCommandScript(it.value(), in.pathOf("commands." + it.key()), error);
        if (!script)
            return std::nullopt;
        scenario.commands.emplace(it.key(), *script);
    }
    return scenario;
}

std::optional<Scenario> loadScenario(const QString& file, QString* source, QString* error) {
    QByteArray json;
    QString path = file;
    if (path.isEmpty() && !qEnvironmentVariableIsEmpty("OMNIVUE_SCENARIO_JSON")) {
        json = qgetenv("OMNIVUE_SCENARIO_JSON");
        *source = QStringLiteral("OMNIVUE_SCENARIO_JSON");
    } else {
        if (path.isEmpty())
            path = qEnvironmentVariable("OMNIVUE_SCENARIO");
        if (path.isEmpty()) {
            source->clear();
            return Scenario();
        }
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read scenario file %1: %2").arg(path, in.errorString());
            return std::nullopt;
        }
        json = in.readAll();
        *source = path;
    }
    QString parseError;
    auto scenario = Scenario::parse(json, &parseError);
    if (!scenario)
        *error = QStringLiteral("scenario from %1: %2").arg(*source, parseError);
    return scenario;
}

}  // namespace omnivue
