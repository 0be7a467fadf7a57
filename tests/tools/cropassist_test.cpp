// The cropassist command-line host as a user runs it: a separate process, its output and its
// exit status. Bad input must give its message and status without touching the service; the
// session cases run against the stand-in service.
#include "servicecontrol.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <string>

#include <sys/types.h>

namespace {

struct ToolRun {
    int status = -1;
    bool crashed = false;
    std::string out;
    std::string err;
};

// Runs the tool to its end (bounded, so a hang fails instead of blocking the suite).
ToolRun runTool(const QStringList& arguments, const QByteArray& input = {},
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CROPASSIST_PATH), arguments);
    ToolRun run;
    if (!process.waitForStarted(10000)) {
        run.err = process.errorString().toStdString();
        return run;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = "timed out";
        return run;
    }
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

std::string describe(const ToolRun& run) {
    return "status " + std::to_string(run.status) + "\nstdout:\n" + run.out + "stderr:\n" + run.err;
}

// A 64 x 48 YUYV frame, dark but for one bright rectangle at (10, 8) of 20 x 16 pixels.
QByteArray frameWithRectangle() {
    QByteArray frame;
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            const bool bright = x >= 10 && x < 30 && y >= 8 && y < 24;
            frame.append(static_cast<char>(bright ? 235 : 16));
            frame.append(static_cast<char>(128));
        }
    }
    return frame;
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

TEST(CropAssistTool, BadInputGivesItsMessageAndStatus98) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString shortFrame = dir.filePath("short.yuv");
    ASSERT_TRUE(writeFile(shortFrame, QByteArray(10, '\0')));

    const struct {
        QStringList arguments;
        const char* message;
    } cases[] = {
        {{}, "Usage: cropassist"},
        {{"bogus"}, "unknown subcommand 'bogus'"},
        {{"--bogus", "devices"}, "unknown option --bogus"},
        {{"get-mode"}, "get-mode: missing argument"},
        {{"is-enabled", "CAM1", "CAM2"}, "is-enabled: too many arguments"},
        {{"set-mode", "CAM1", "fast"}, "must be a whole number, not 'fast'"},
        {{"set-mode", "CAM1", "99999999999"}, "must be between"},
        {{"set-enabled", "CAM1", "maybe"}, "must be on or off, not 'maybe'"},
        {{"set-home-pt", "CAM1", "0.1", "up"}, "the tilt must be a finite number, not 'up'"},
        {{"get-frame-rois", "CAM1", "--width", "64", "--height", "48"}, "missing --file"},
        {{"frame-rois", "CAM1", "--file", dir.filePath("none.yuv"), "--width", "64", "--height",
          "48"},
         "cannot read frame file"},
        {{"frame-rois", "CAM1", "--file", shortFrame, "--width", "64", "--height", "48"},
         "holds 10 bytes, but a 64x48 frame of 2 bytes per pixel needs 6144"},
        {{"frame-rois", "CAM1", "--file", shortFrame, "--width", "6x4", "--height", "48"},
         "the width must be a whole number"},
        {{"frame-rois", "CAM1", "--file", shortFrame, "--width", "64", "--height", "48", "--pixfmt",
          "3"},
         "the pixel format must be 1 (yuyv) or 2 (uyvy)"},
        {{"frame-rois", "CAM1", "--file"}, "--file needs a value"},
        {{"frame-rois", "CAM1", "--fast", "1"}, "unknown option --fast"},
        {{"watch", "CAM1"}, "watch: too many arguments"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ToolRun run = runTool(c.arguments);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.status, 98) << describe(run);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << describe(run);
    }

    // Machine-readable form of the same failure.
    const ToolRun json = runTool({"--json", "set-mode", "CAM1", "fast"});
    EXPECT_EQ(json.status, 98);
    EXPECT_EQ(json.out.rfind("{\"command\":\"set-mode\",\"code\":98,\"error\":\"set-mode: ", 0), 0u)
        << describe(json);
}

TEST(CropAssistTool, HelpForTheToolAndEachSubcommand) {
    const ToolRun overview = runTool({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_NE(overview.out.find("get-frame-rois"), std::string::npos) << describe(overview);
    EXPECT_NE(overview.out.find("Exit status"), std::string::npos);

    const ToolRun alias = runTool({"home", "--help"});
    EXPECT_EQ(alias.status, 0);
    EXPECT_NE(alias.out.find("Usage: cropassist [OPTIONS] get-cur-home-pt DEVICE"),
              std::string::npos)
        << describe(alias);
}

TEST(CropAssistTool, OneShotSessionsAgainstTheStartedService) {
    // The service that --start launches inherits this scenario.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("OMNIVUE_SCENARIO_JSON",
                       R"({"devices":[{"sn":"CAM1","name":"Desk","id":"usb-1","mode":2,)"
                       R"("supportedModes":[0,1,2]},{"sn":"CAM2","name":"Room","id":"usb-2"}]})");

    const ToolRun devices = runTool({"--start", "devices"}, {}, environment);
    EXPECT_EQ(devices.status, 0) << describe(devices);
    EXPECT_EQ(devices.out,
              "devices: 2\n  sn=CAM1 name=Desk id=usb-1\n  sn=CAM2 name=Room id=usb-2\n");

    const ToolRun mode = runTool({"--start", "--json", "get-mode", "CAM1"}, {}, environment);
    EXPECT_EQ(mode.status, 0) << describe(mode);
    EXPECT_EQ(mode.out, "{\"command\":\"get-mode\",\"device\":\"CAM1\",\"code\":0,\"mode\":2}\n");

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString frame = dir.filePath("frame.yuv");
    ASSERT_TRUE(writeFile(frame, frameWithRectangle()));
    const ToolRun rois = runTool({"--start", "frame-rois", "CAM1", "--file", frame, "--width", "64",
                                  "--height", "48", "--pixfmt", "yuyv"},
                                 {}, environment);
    EXPECT_EQ(rois.status, 0) << describe(rois);
    EXPECT_EQ(rois.out, "regions: 1\n  x=10 y=8 width=20 height=16\n");

    // A failure reported by the service: its own code as the status, the library's line and
    // the tool's explanation on stderr.
    const ToolRun unknown = runTool({"--start", "get-mode", "NOPE"}, {}, environment);
    EXPECT_FALSE(unknown.crashed);
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.status, 98);
    EXPECT_NE(unknown.err.find("Omnivue API:failed to get current mode"), std::string::npos)
        << describe(unknown);
    EXPECT_NE(unknown.err.find("cropassist: get-mode NOPE: failed with code " +
                               std::to_string(unknown.status)),
              std::string::npos)
        << describe(unknown);
}

TEST(CropAssistTool, ShellKeepsOneSession) {
    const QByteArray script =
        "# settings survive between lines of one session\n"
        "set-mode CAM1 group\n"
        "get-mode CAM1\n"
        "set-home CAM1 0.5 \"-0.25\"\n"
        "home CAM1\n"
        "get-mode\n"
        "exit\n"
        "get-mode CAM1\n"
        "init\n"
        "is-initialized\n";
    const ToolRun run = runTool({"--start", "--json", "shell"}, script);
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 0) << describe(run);
    const char* expected[] = {
        R"({"command":"set-mode","device":"CAM1","mode":2,"code":0})",
        R"({"command":"get-mode","device":"CAM1","code":0,"mode":2})",
        R"({"command":"set-home-pt","device":"CAM1","pan":0.5,"tilt":-0.25,"code":0})",
        R"({"command":"get-cur-home-pt","device":"CAM1","code":0,"pan":0.5,"tilt":-0.25})",
        R"({"command":"get-mode","code":98,"error":"get-mode: missing argument)",
        R"({"command":"exit","code":0})",
        R"({"command":"get-mode","code":99,"error":"no session: open one with init or attach"})",
        R"({"command":"init","code":0})",
        R"({"command":"is-initialized","code":0,"initialized":true})",
    };
    std::size_t from = 0;
    for (const char* line : expected) {
        const std::size_t at = run.out.find(line, from);
        EXPECT_NE(at, std::string::npos) << line << "\n" << describe(run);
        from = at == std::string::npos ? from : at;
    }
}

TEST(CropAssistTool, AttachesToARunningServiceAndWatchesItsNotices) {
    testsupport::StandaloneService service({}, "CropAssistToolTestControl");
    ASSERT_TRUE(service.ready()) << service.error();

    const ToolRun devices = runTool({"--json", "devices"});
    EXPECT_EQ(devices.status, 0) << describe(devices);
    EXPECT_EQ(devices.out.rfind("{\"command\":\"get-devices\",\"code\":0,\"devices\":[{", 0), 0u)
        << describe(devices);

    QProcess watch;
    watch.start(QStringLiteral(CROPASSIST_PATH), {"watch"});
    ASSERT_TRUE(watch.waitForStarted(10000));
    // The listing of present devices shows that the watch is connected and listening.
    QByteArray seen;
    while (!seen.contains("present") && watch.waitForReadyRead(20000)) {
        seen += watch.readAllStandardOutput();
    }
    ASSERT_TRUE(seen.contains("present")) << seen.toStdString();
    EXPECT_EQ(service.control().command("arrive CAM7"), "ok");
    EXPECT_EQ(service.control().command("event 4 lens covered"), "ok");
    EXPECT_EQ(service.control().command("lose CAM7"), "ok");
    while (!seen.contains("lost CAM7") && watch.waitForReadyRead(20000)) {
        seen += watch.readAllStandardOutput();
    }
    ::kill(static_cast<pid_t>(watch.processId()), SIGINT);  // what Ctrl-C sends
    ASSERT_TRUE(watch.waitForFinished(20000));
    seen += watch.readAllStandardOutput();
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0) << watch.readAllStandardError().toStdString();
    const std::string out = seen.toStdString();
    const std::size_t arrived = out.find("arrived CAM7\n");
    const std::size_t event = out.find("event 4 \"lens covered\"\n");
    const std::size_t lost = out.find("lost CAM7\n");
    EXPECT_NE(arrived, std::string::npos) << out;
    EXPECT_NE(event, std::string::npos) << out;
    EXPECT_NE(lost, std::string::npos) << out;
    EXPECT_TRUE(arrived < event && event < lost) << out;
}

TEST(CropAssistTool, AttachWithoutServiceExplains) {
    const ToolRun run = runTool({"devices"});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 1) << describe(run);
    EXPECT_NE(run.err.find("cropassist: attach: failed with code 1"), std::string::npos)
        << describe(run);
    EXPECT_NE(run.err.find("--start starts one"), std::string::npos);
}

}  // namespace
