// OmnivueService.exe, the stand-in service: arguments, the two modes, the scenario, start-up and
// the exit codes.
#include "controlchannel.h"
#include "replay.h"
#include "scenario.h"
#include "servicehost.h"
#include "servicelog.h"
#include "simulator.h"
#include "announcementrecord.h"
#include "termination.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QUuid>

#include <cstdio>
#include <memory>
#include <optional>

Q_LOGGING_CATEGORY(lcService, "omnivue.service", QtInfoMsg)

namespace {

using namespace omnivue;
using quarn::tellan_api::SingleAppInstance;

// Exit codes: 1 and 2 are start-up results that the library knows by name; init returns any
// other as it is.
enum ExitCode : int {
    kExitOk = 0,
    kExitStartupError = 1,  // bad arguments, scenario or start line; servers that cannot listen
    kExitOtherExists = 2,   // another service already announces itself
    kExitNoRecord = 3,      // the announcement record cannot be created (a missing privilege)
};

const QString kRecordName = QStringLiteral("ZuzoRerazu");
constexpr int kMaxStartLineBytes = 1024;

const char kDescription[] =
    "Stand-in for the Omnivue crop-assist service: serves the request and callback sockets of the\n"
    "client library with simulated cameras, and can be scripted for tests.\n"
    "\n"
    "Without --standalone the service does what the library expects of the program it starts:\n"
    "it reads one line \"start <suffix>\" from standard input (the suffix a braced lower-case\n"
    "UUID), serves \"ZuzoRerazuIO_<suffix>\" and \"ZuzoRerazuO_<suffix>\", and ends when its\n"
    "standard input closes. With --standalone it\n"
    "makes its own suffix and prints \"suffix <suffix>\" and \"control <name>\" on standard\n"
    "output, ready for hosts that attach.\n"
    "\n"
    "Scenario (first found): --scenario <file>, OMNIVUE_SCENARIO_JSON (inline JSON),\n"
    "OMNIVUE_SCENARIO (file). Control channel name: --control, OMNIVUE_CONTROL, or\n"
    "\"OmnivueControl_<suffix>\"; send it \"help\" for its commands.\n"
    "\n"
    "Replay: --replay <file> (or OMNIVUE_REPLAY) answers from a recorded session instead of the\n"
    "simulator, in recorded order, or matched on request type and body with --keyed\n"
    "(OMNIVUE_REPLAY_KEYED=1); notices follow the replies they followed when recorded, or come at\n"
    "their recorded times divided by --speed (OMNIVUE_REPLAY_SPEED). --replay-start (or\n"
    "OMNIVUE_REPLAY_START) picks the start-up to play when the recording holds several.\n"
    "With OMNIVUE_REPLAY_PACED=1 notices wait for the control command \"notices <line>\".\n"
    "\n"
    "Exit codes: 0 ended on request, 1 start-up error, 2 another service is running,\n"
    "3 the announcement record cannot be created (on Windows: not elevated), or what the\n"
    "scenario or the control channel asks for. SIGTERM and SIGINT end it cleanly,\n"
    "and so do WM_CLOSE (what QProcess::terminate() sends), Ctrl+C and Ctrl+Break on Windows.";

struct Options {
    bool standalone = false;
    bool quitOnInputEnd = false;
    QString scenarioFile;
    QString controlName;
    ReplayOptions replay;
};

// An option's value, or the environment variable's when the option is not given.
QString optionOrEnvironment(const QCommandLineParser& parser, const QCommandLineOption& option,
                            const char* variable) {
    return parser.isSet(option) ? parser.value(option) : qEnvironmentVariable(variable);
}

// Returns the options, or the exit code when the program should end here (help, errors).
std::optional<Options> parseArguments(const QCoreApplication& app, int* exitCode) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption standalone("standalone", "Run by hand: make a suffix, serve hosts.");
    const QCommandLineOption scenario("scenario", "Load the scenario from <file>.", "file");
    const QCommandLineOption control("control", "Serve the control channel as <name>.", "name");
    const QCommandLineOption quitOnEof("quit-on-eof",
                                       "End when standard input closes (always without "
                                       "--standalone).");
    const QCommandLineOption verbose("verbose", "Log every request and answer.");
    const QCommandLineOption replay("replay", "Answer from the recorded session in <file>.",
                                    "file");
    const QCommandLineOption keyed("keyed", "Replay: match requests on type and body.");
    const QCommandLineOption speed("speed", "Replay: notices at recorded times / <factor>.",
                                   "factor");
    const QCommandLineOption replayStart("replay-start", "Replay: the start-up <n> (from 0).", "n");
    parser.addOptions(
        {standalone, scenario, control, quitOnEof, verbose, replay, keyed, speed, replayStart});

    *exitCode = kExitOk;
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString problem = parser.positionalArguments().isEmpty()
                                    ? parser.errorText()
                                    : "unexpected argument " + parser.positionalArguments().first();
        std::fprintf(stderr, "%s\nTry --help.\n", qPrintable(problem));
        *exitCode = kExitStartupError;
        return std::nullopt;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        const QString text = parser.isSet(help)
                                 ? parser.helpText()
                                 : app.applicationName() + ' ' + app.applicationVersion() + '\n';
        std::fputs(qPrintable(text), stdout);
        return std::nullopt;
    }
    if (parser.isSet(verbose))
        QLoggingCategory::setFilterRules(QStringLiteral("omnivue.service.debug=true"));
    Options options;
    options.standalone = parser.isSet(standalone);
    options.quitOnInputEnd = !options.standalone || parser.isSet(quitOnEof);
    options.scenarioFile = parser.value(scenario);
    options.controlName = parser.value(control);
    options.replay.file = optionOrEnvironment(parser, replay, "OMNIVUE_REPLAY");
    options.replay.keyed =
        parser.isSet(keyed) || qEnvironmentVariableIntValue("OMNIVUE_REPLAY_KEYED");
    options.replay.speed = optionOrEnvironment(parser, speed, "OMNIVUE_REPLAY_SPEED").toDouble();
    options.replay.start = optionOrEnvironment(parser, replayStart, "OMNIVUE_REPLAY_START").toInt();
    options.replay.paced = qEnvironmentVariableIntValue("OMNIVUE_REPLAY_PACED") == 1;
    return options;
}

// The library's one line "start <suffix>\n", the suffix a braced lower-case UUID as the library
// makes it (anything else is refused, so a library that sends another form fails its start).
// Read byte by byte so that nothing after it is taken from standard input, whose end is watched
// later.
std::optional<QString> readStartLine(QString* error) {
    QFile input;
    if (!input.open(0, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)) {
        *error = "cannot read standard input: " + input.errorString();
        return std::nullopt;
    }
    QByteArray line;
    char c = 0;
    while (line.size() <= kMaxStartLineBytes && input.read(&c, 1) == 1 && c != '\n')
        line.append(c);
    if (line.endsWith('\r'))
        line.chop(1);
    const QByteArray suffix = line.mid(6);
    if (c != '\n' || !line.startsWith("start ") || QUuid(suffix).toByteArray() != suffix) {
        *error = QStringLiteral("expected \"start {<uuid>}\" on standard input");
        return std::nullopt;
    }
    return QString::fromUtf8(suffix);
}

bool configureSimulator(DeviceSimulator& simulator, const Scenario& scenario, QString* error) {
    if (scenario.devices && !simulator.loadDevices(*scenario.devices, error)) {
        *error = "scenario devices: " + *error;
        return false;
    }
    if (scenario.uploadCrashReports) {
        const QJsonObject body{{"sn", ""}, {"bval", *scenario.uploadCrashReports}};
        const ServiceReply reply = simulator.handle(QStringLiteral("saucr"), body);
        if (reply.code != 0) {
            *error = "scenario uploadCrashReports: " + reply.err;
            return false;
        }
    }
    return true;
}

// Everything a running service owns. The host servers go before the record, so that the record
// never points at servers that have gone.
class Service {
public:
    Service(const Options& options, const Scenario& scenario, QString suffix, Replay* replay)
        : options_(options), scenario_(scenario), suffix_(std::move(suffix)), replay_(replay) {}

    ~Service() { release(); }

    int run(DeviceSimulator& simulator) {
        QString error;
        if (!termination_.install(&error))
            return fail(error);
        if (options_.quitOnInputEnd)
            termination_.watchInputEnd();
        QObject::connect(&termination_, &TerminationWatcher::terminationRequested,
                         [](const QString& reason) {
                             qCInfo(lcService).noquote() << "Ending:" << reason;
                             QCoreApplication::exit(kExitOk);
                         });

        const bool listen = !scenario_.startup.neverListen;
        if (listen) {
            record_ = std::make_unique<SingleAppInstance>(kRecordName, suffix_);
            if (!record_->isPrimary()) {
                record_.reset();
                qCCritical(lcService) << "Another service is already running; ending";
                return kExitOtherExists;
            }
            const QString recordError = record_->createError();
            if (!recordError.isEmpty()) {
                record_.reset();
                qCCritical(lcService).noquote()
                    << "Cannot create the announcement record:" << recordError;
                return kExitNoRecord;
            }
        }
        host_ = std::make_unique<ServiceHost>(suffix_, simulator, scenario_);
        host_->setReplay(replay_);
        control_ = std::make_unique<ControlChannel>(*host_, simulator);
        // The control channel listens first: whoever sees the host servers may use it at once.
        if (!control_->listen(controlName(), &error))
            return fail(error);
        if (listen) {
            if (!host_->listen(&error))
                return fail(error);
            record_->signalReady();
        } else {
            qCInfo(lcService) << "Not serving hosts, as the scenario asks";
        }
        QObject::connect(host_.get(), &ServiceHost::crashRequested, [this] { crash(); });
        QObject::connect(control_.get(), &ControlChannel::crashRequested, [this] { crash(); });
        QObject::connect(control_.get(), &ControlChannel::exitRequested, [](int code) {
            qCInfo(lcService) << "Ending with exit code" << code << "as asked";
            QCoreApplication::exit(code);
        });

        if (options_.standalone) {
            std::printf("suffix %s\ncontrol %s\n", qPrintable(suffix_), qPrintable(controlName()));
            std::fflush(stdout);
        }
        qCInfo(lcService).noquote() << "Ready, suffix" << suffix_;
        const int code = QCoreApplication::exec();
        release();
        return code;
    }

private:
    QString controlName() const {
        if (!options_.controlName.isEmpty())
            return options_.controlName;
        const QString fromEnvironment = qEnvironmentVariable("OMNIVUE_CONTROL");
        return fromEnvironment.isEmpty() ? "OmnivueControl_" + suffix_ : fromEnvironment;
    }

    int fail(const QString& error) {
        qCCritical(lcService).noquote() << error;
        release();
        return kExitStartupError;
    }

    void release() {
        control_.reset();
        host_.reset();
        record_.reset();
    }

    // Called from deep inside a connection's handling, which never resumes: the servers are
    // closed rather than destroyed, and the record goes, so the crash leaves nothing behind.
    // The hosts' connections end with the process, as in a real crash, not before it.
    [[noreturn]] void crash() {
        qCWarning(lcService) << "Crashing, as asked";
        control_->close();
        host_->stopListening();
        record_.reset();
        crashProcess();
    }

    Options options_;
    Scenario scenario_;
    QString suffix_;
    Replay* replay_;
    TerminationWatcher termination_;
    std::unique_ptr<SingleAppInstance> record_;
    std::unique_ptr<ServiceHost> host_;
    std::unique_ptr<ControlChannel> control_;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("OmnivueService"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OMNIVUE_SERVICE_VERSION));
    qSetMessagePattern(QStringLiteral("OmnivueService[%{pid}] %{type}: %{message}"));

    int exitCode = kExitOk;
    const std::optional<Options> options = parseArguments(app, &exitCode);
    if (!options)
        return exitCode;

    QString error;
    QString source;
    const std::optional<Scenario> scenario = loadScenario(options->scenarioFile, &source, &error);
    DeviceSimulator simulator;
    if (!scenario || !configureSimulator(simulator, *scenario, &error)) {
        qCCritical(lcService).noquote() << error;
        return kExitStartupError;
    }
    if (!source.isEmpty())
        qCInfo(lcService).noquote() << "Scenario from" << source;

    QString suffix;
    if (options->standalone) {
        suffix = QUuid::createUuid().toString();
    } else {
        const std::optional<QString> line = readStartLine(&error);
        if (!line) {
            qCCritical(lcService).noquote() << error;
            return kExitStartupError;
        }
        suffix = *line;
    }

    std::unique_ptr<Replay> replay;
    Scenario script = *scenario;
    if (!options->replay.file.isEmpty()) {
        QString note;
        replay = Replay::load(options->replay, &error, &note);
        if (!replay) {
            qCCritical(lcService).noquote() << "Replay:" << error;
            return kExitStartupError;
        }
        qCInfo(lcService).noquote() << "Replaying" << options->replay.file
                                    << (options->replay.keyed ? "(keyed)" : "(in order)");
        if (!note.isEmpty())
            qCWarning(lcService).noquote() << "Replay:" << note;
        // The recorded start-up's end, in place of the scenario's.
        script.startup.exitCode = replay->startupExitCode();
        script.startup.crash = replay->startupCrash();
        script.startup.neverListen = replay->startupNeverListens();
    }
    const StartupScript& startup = script.startup;
    if (startup.crash) {
        qCWarning(lcService) << "Crashing at start, as the scenario asks";
        crashProcess();
    }
    if (startup.exitCode) {
        qCInfo(lcService) << "Ending at start with exit code" << *startup.exitCode
                          << "as the scenario asks";
        return *startup.exitCode;
    }
    Service service(*options, script, suffix, replay.get());
    return service.run(simulator);
}
