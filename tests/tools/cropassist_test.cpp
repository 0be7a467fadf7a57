// The cropassist tool run as a user runs it: its output and exit status, against the stand-in.
#include "service.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

testsupport::ChildRun tool(const QStringList& arguments, const QByteArray& input = {}) {
    return testsupport::runChild(CROPASSIST_PATH, arguments, input);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(CropAssistTool, BadInputGivesItsMessageAndStatus98) {
    QTemporaryDir dir;
    const QString shortFrame = dir.filePath("short.yuv");
    QFile file(shortFrame);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(10, '\0')) == 10);
    file.close();
    const QStringList frame{"frame-rois", "CAM1", "--file", shortFrame,
                            "--height",   "48",   "--width"};
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
        {{"frame-rois", "CAM1", "--file", "none.yuv", "--width", "64", "--height", "48"},
         "cannot read frame file"},
        {frame + QStringList{"64"},
         "holds 10 bytes, but a 64x48 frame of 2 bytes per pixel needs 6144"},
        {frame + QStringList{"6x4"}, "the width must be a whole number"},
        {frame + QStringList{"64", "--pixfmt", "3"},
         "the pixel format must be 1 (yuyv) or 2 (uyvy)"},
        {{"frame-rois", "CAM1", "--file"}, "--file needs a value"},
        {{"watch", "CAM1"}, "watch: too many arguments"},
    };
    for (const auto& c : cases) {
        const auto run = tool(c.arguments);
        EXPECT_EQ(run.status, 98) << run.describe();
        EXPECT_TRUE(contains(run.err, c.message)) << run.describe();
    }
    const auto help = tool({"home", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage: cropassist [OPTIONS] get-cur-home-pt DEVICE"))
        << help.describe();
    const auto attach = tool({"devices"});
    EXPECT_EQ(attach.status, 1) << attach.describe();
    EXPECT_TRUE(contains(attach.err, "cropassist: attach: failed with code 1"))
        << attach.describe();
    EXPECT_TRUE(contains(attach.err, "--start starts one"));
}

TEST(CropAssistTool, SessionsOfItsOwnAndAShellAgainstTheService) {
    testsupport::ScopedEnv scenario(
        "OMNIVUE_SCENARIO_JSON",
        R"({"devices":[{"sn":"CAM1","name":"Desk","id":"usb-1","mode":2,)"
        R"("supportedModes":[0,1,2]},{"sn":"CAM2","name":"Room","id":"usb-2"}],)"
        R"("commands":{"isenabled":{"drop":true}}})");
    auto run = tool({"--start", "devices"});
    EXPECT_EQ(run.out, "devices: 2\n  sn=CAM1 name=Desk id=usb-1\n  sn=CAM2 name=Room id=usb-2\n")
        << run.describe();
    // A failure of the service's own: its code as the status, the library's line and the tool's.
    run = tool({"--start", "get-mode", "NOPE"});
    EXPECT_EQ(run.status, 3) << run.describe();
    EXPECT_TRUE(contains(run.err, "Omnivue API:failed to get current mode")) << run.describe();
    EXPECT_TRUE(contains(run.err, "cropassist: get-mode NOPE: failed with code 3"))
        << run.describe();

    run = tool({"--start", "--json", "shell"},
               "# one session\nset-mode CAM1 1\nget-mode CAM1\n"
               "set-home CAM1 0.5 \"-0.25\"\nhome CAM1\nget-mode\nis-enabled CAM1\nexit\n"
               "get-mode CAM1\ninit\nis-initialized\n");
    EXPECT_EQ(run.status, 0) << run.describe();
    size_t from = 0;
    for (const char* line :
         {R"({"command":"set-mode","device":"CAM1","mode":1,"code":0})",
          R"({"command":"get-mode","device":"CAM1","code":0,"mode":1})",
          R"({"command":"set-home-pt","device":"CAM1","pan":0.5,"tilt":-0.25,"code":0})",
          R"({"command":"get-cur-home-pt","device":"CAM1","code":0,"pan":0.5,"tilt":-0.25})",
          R"({"command":"get-mode","code":98,"error":"get-mode: missing argument)",
          // 99 after a lost connection is explained as that, not as a missing executable.
          R"("code":99,"name":"NOT_INITIALIZED","meaning":"the connection to the service was lost)",
          R"({"command":"exit","code":0})",
          R"({"command":"get-mode","code":99,"error":"no session: open one with init or attach"})",
          R"({"command":"init","code":0})",
          R"({"command":"is-initialized","code":0,"initialized":true})"}) {
        from = run.out.find(line, from);
        ASSERT_NE(from, std::string::npos) << line << "\n" << run.describe();
    }
}

TEST(CropAssistTool, AttachesToARunningServiceAndWatchesItsNotices) {
    testsupport::StandaloneService service;
    ASSERT_TRUE(service.ready());
    const auto devices = tool({"--json", "devices"});
    EXPECT_EQ(devices.out.rfind(R"({"command":"get-devices","code":0,"devices":[{)", 0), 0u)
        << devices.describe();
    QProcess watch;
    watch.start(CROPASSIST_PATH, {"watch"});
    // The listing of present devices shows that the watch is connected and listening.
    QByteArray seen;
    const auto readUntil = [&](const char* text) {
        while (!seen.contains(text) && watch.waitForReadyRead(20000))
            seen += watch.readAllStandardOutput();
    };
    readUntil("present CAM2");
    for (const char* line : {"arrive CAM7", "event 4 lens covered", "lose CAM7"})
        EXPECT_TRUE(service.control().ok(line));
    readUntil("lost CAM7");
    watch.terminate();  // ends it like Ctrl-C
    ASSERT_TRUE(watch.waitForFinished(20000));
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0) << watch.readAllStandardError().toStdString();
    const std::string text = testsupport::textOf(seen.toStdString());
    EXPECT_EQ(text.substr(text.find("arrived CAM7")),
              "arrived CAM7\nevent 4 \"lens covered\"\nlost CAM7\n");
}
