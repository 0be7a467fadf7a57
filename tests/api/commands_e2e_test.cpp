// The query and command entry points of the real library against the real stand-in service:
// round trips on its default cameras, the service's own codes, malformed replies, conversions of
// what comes back, and how a crash of the service is reported in start and attach mode.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "servicecontrol.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using testsupport::LibrarySession;
using testsupport::LogCapture;
using testsupport::onlyCriticalLine;

namespace {

const char kCam1[] = "CAM1";
const char kCam2[] = "CAM2";

const char* const kLostTexts[] = {"Server disconnected",
                                  "Failed to start read API reply - socket not connected",
                                  "Failed to read API reply"};

// Success when `line` is "Omnivue API:" + failure text + `joint` + one of the lost-connection
// texts.
::testing::AssertionResult isLostConnectionLine(const std::string& line,
                                                const std::string& failureText,
                                                const std::string& joint) {
    for (const char* text : kLostTexts) {
        if (line == "Omnivue API:" + failureText + joint + text)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "unexpected line \"" << line << "\"";
}

}  // namespace

class CommandsE2e : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        // A crash before the listener has connected would add the listener's own line.
        ASSERT_TRUE(session.waitForCallbackConnections(1));
    }
    void TearDown() override { EXPECT_TRUE(session.exitCleanly()); }

    // The one request of `type` the service received since the last "clear", as compact JSON.
    std::string onlyRequest(const QString& type) {
        const auto found = session.requests(type);
        if (found.size() != 1)
            return "found " + std::to_string(found.size()) + " requests";
        return QJsonDocument(found[0]).toJson(QJsonDocument::Compact).toStdString();
    }

    LogCapture log;
    LibrarySession session;
};

TEST_F(CommandsE2e, QueriesAndSettersRoundTripThroughTheService) {
    bool flag = false;
    TellanMode mode = TELLAN_MODE_INVALID;
    float pan = 99.0f, tilt = 99.0f;

    ASSERT_EQ(crop_assist_is_enabled(kCam1, &flag), 0) << log.dump();
    EXPECT_TRUE(flag);
    ASSERT_EQ(crop_assist_is_enabled(kCam2, &flag), 0);
    EXPECT_FALSE(flag);
    ASSERT_EQ(crop_assist_get_mode_effective(kCam2, &mode), 0);
    EXPECT_EQ(mode, TELLAN_MODE_OFF) << "a disabled camera crops nothing";
    ASSERT_EQ(crop_assist_set_enabled(kCam2, true), 0);
    ASSERT_EQ(crop_assist_is_enabled(kCam2, &flag), 0);
    EXPECT_TRUE(flag);
    ASSERT_EQ(crop_assist_get_mode_effective(kCam2, &mode), 0);
    EXPECT_EQ(mode, TELLAN_MODE_GROUP);

    ASSERT_EQ(crop_assist_get_mode(kCam1, &mode), 0);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    ASSERT_EQ(crop_assist_is_mode_supported(kCam1, TELLAN_MODE_SPEAKER, &flag), 0);
    EXPECT_TRUE(flag);
    ASSERT_EQ(crop_assist_is_mode_supported(kCam2, TELLAN_MODE_SPEAKER, &flag), 0);
    EXPECT_FALSE(flag);
    ASSERT_EQ(crop_assist_set_mode(kCam1, TELLAN_MODE_SPEAKER), 0);
    ASSERT_EQ(crop_assist_get_mode(kCam1, &mode), 0);
    EXPECT_EQ(mode, TELLAN_MODE_SPEAKER);

    flag = true;
    ASSERT_EQ(crop_assist_is_adjustment_active(kCam1, &flag), 0);
    EXPECT_FALSE(flag);
    ASSERT_EQ(crop_assist_is_auto_zoom_enabled(kCam1, &flag), 0);
    EXPECT_TRUE(flag);
    ASSERT_EQ(crop_assist_set_auto_zoom_enabled(kCam1, false), 0);
    ASSERT_EQ(crop_assist_is_auto_zoom_enabled(kCam1, &flag), 0);
    EXPECT_FALSE(flag);

    ASSERT_EQ(crop_assist_get_cur_home_pt(kCam2, &pan, &tilt), 0);
    EXPECT_EQ(pan, -30.0f);
    EXPECT_EQ(tilt, 10.0f);
    // CAM1 points at (12.5, -4): making that the home point is visible in the next query.
    ASSERT_EQ(crop_assist_set_cur_pt_as_home(kCam1), 0);
    ASSERT_EQ(crop_assist_get_cur_home_pt(kCam1, &pan, &tilt), 0);
    EXPECT_EQ(pan, 12.5f);
    EXPECT_EQ(tilt, -4.0f);
    // Going home and then setting another home: taking the current point brings the first back.
    ASSERT_EQ(crop_assist_set_home_pt(kCam2, 1.5f, 2.5f), 0);
    ASSERT_EQ(crop_assist_trigger_home(kCam2), 0);
    ASSERT_EQ(crop_assist_set_home_pt(kCam2, 7.0f, 8.0f), 0);
    ASSERT_EQ(crop_assist_set_cur_pt_as_home(kCam2), 0);
    ASSERT_EQ(crop_assist_get_cur_home_pt(kCam2, &pan, &tilt), 0);
    EXPECT_EQ(pan, 1.5f);
    EXPECT_EQ(tilt, 2.5f);

    ASSERT_EQ(crop_assist_is_upload_crash_reports_enabled(&flag), 0);
    EXPECT_FALSE(flag);
    ASSERT_EQ(crop_assist_set_upload_crash_reports_enabled(true), 0);
    ASSERT_EQ(crop_assist_is_upload_crash_reports_enabled(&flag), 0);
    EXPECT_TRUE(flag);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();

    // The bodies as the service received them.
    EXPECT_EQ(onlyRequest("setenabled"),
              R"({"body":{"bval":true,"sn":"CAM2"},"type":"setenabled"})");
    EXPECT_EQ(onlyRequest("smode"), R"({"body":{"mode":3,"sn":"CAM1"},"type":"smode"})");
    EXPECT_EQ(onlyRequest("szoomap"), R"({"body":{"bval":false,"sn":"CAM1"},"type":"szoomap"})");
    EXPECT_EQ(onlyRequest("tshome"), R"({"body":"CAM2","type":"tshome"})");
    EXPECT_EQ(onlyRequest("saucr"), R"({"body":{"bval":true,"sn":""},"type":"saucr"})");
    const auto crashQueries = session.requests("iaucr");
    ASSERT_EQ(crashQueries.size(), 2u);
    EXPECT_EQ(crashQueries[0].value("body"), QJsonValue(QString()));
    EXPECT_EQ(session.requests("ismodes").at(1).value("body").toObject(),
              (QJsonObject{{"mode", 3}, {"sn", "CAM2"}}));
}

TEST_F(CommandsE2e, ServiceFailureCodesPassThroughUnchanged) {
    bool flag = true;
    ASSERT_TRUE(session.command(R"(script isenabled {"code":7,"err":"busy now","times":1})"));
    EXPECT_EQ(crop_assist_is_enabled(kCam1, &flag), 7);
    EXPECT_FALSE(flag) << "the preset stays";
    EXPECT_TRUE(onlyCriticalLine(log, "Omnivue API:failed to get feature status: busy now"));

    log.clear();
    ASSERT_TRUE(session.command(R"(script setenabled {"code":7,"err":"not now","times":1})"));
    EXPECT_EQ(crop_assist_set_enabled(kCam1, false), 7);
    EXPECT_TRUE(onlyCriticalLine(log, "Omnivue API:failed to set feature status: not now"));

    log.clear();
    TellanMode mode = TELLAN_MODE_SPEAKER;
    ASSERT_TRUE(session.command(R"(script gmode {"code":7,"err":"later","times":1})"));
    EXPECT_EQ(crop_assist_get_mode(kCam2, &mode), 7);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    EXPECT_TRUE(onlyCriticalLine(log, "Omnivue API:failed to get current mode: later"));

    // The service's own refusals travel the same way.
    log.clear();
    EXPECT_EQ(crop_assist_is_enabled("NOPE", &flag), 3);
    EXPECT_TRUE(onlyCriticalLine(
        log, R"(Omnivue API:failed to get feature status: isenabled: unknown device "NOPE")"));
    log.clear();
    EXPECT_EQ(crop_assist_set_mode(kCam2, TELLAN_MODE_SPEAKER), 4);
    EXPECT_TRUE(onlyCriticalLine(
        log, "Omnivue API:failed to set current mode: smode: mode 3 is not supported by CAM2"));
}

TEST_F(CommandsE2e, MalformedRepliesGive100AndKeepThePresets) {
    struct Outs {
        bool flag = true;
        TellanMode mode = TELLAN_MODE_SPEAKER;
        float pan = 9.0f;
        float tilt = 9.0f;
    };
    struct Case {
        const char* type;
        const char* script;
        const char* failureText;
        const char* error;
        std::function<int(Outs&)> call;
        std::function<bool(const Outs&)> presetKept;
    };
    const auto flagCleared = [](const Outs& o) { return !o.flag; };
    const auto modePreset = [](const Outs& o) { return o.mode == TELLAN_MODE_FRAMING; };
    const auto homePreset = [](const Outs& o) { return o.pan == 0.0f && o.tilt == 0.0f; };
    const auto nothing = [](const Outs&) { return true; };
    const std::vector<Case> cases = {
        {"isenabled", R"({"reply":1})", "failed to get feature status",
         "IS_CROP_ASSIST_ENABLED: Expected single bool",
         [](Outs& o) { return crop_assist_is_enabled(kCam1, &o.flag); }, flagCleared},
        {"isaa", R"({"reply":"true"})", "failed to check adjustment status",
         "IS_ADJUSTMENT_ACTIVE: Expected single bool",
         [](Outs& o) { return crop_assist_is_adjustment_active(kCam1, &o.flag); }, flagCleared},
        {"iszoomap", R"({"reply":null})", "failed to check auto-zoom status",
         "IS_AUTO_ZOOM_ON_PROCESS: Expected single bool",
         [](Outs& o) { return crop_assist_is_auto_zoom_enabled(kCam1, &o.flag); }, flagCleared},
        {"iaucr", R"({"reply":0})", "failed to get crash reporting status",
         "IS_AUTO_UPLOAD_CRASH_REPORTS: Expected single bool",
         [](Outs& o) { return crop_assist_is_upload_crash_reports_enabled(&o.flag); }, flagCleared},
        {"ismodes", R"({"reply":[true]})", "failed to check is mode supported",
         "IS_CROP_ASSIST_MODE_SUPPORTED: Expected single boolean",
         [](Outs& o) { return crop_assist_is_mode_supported(kCam1, TELLAN_MODE_OFF, &o.flag); },
         flagCleared},
        {"gmode", R"({"reply":"2"})", "failed to get current mode",
         "GET_CROP_ASSIST_MODE: Expected single number",
         [](Outs& o) { return crop_assist_get_mode(kCam2, &o.mode); }, modePreset},
        {"gemode", R"({"reply":true})", "failed to get current effective mode",
         "GET_CROP_ASSIST_MODE_EFFECTIVE: Expected single number",
         [](Outs& o) { return crop_assist_get_mode_effective(kCam2, &o.mode); }, modePreset},
        {"ghomept", R"({"reply":[1,2]})", "failed to get Home PanTilt",
         "GET_HOME_PAN_TILT: Expected single object",
         [](Outs& o) { return crop_assist_get_cur_home_pt(kCam2, &o.pan, &o.tilt); }, homePreset},
        {"ghomept", R"({"reply":{"p":1}})", "failed to get Home PanTilt",
         "GET_HOME_PAN_TILT: Pan/Tilt not found",
         [](Outs& o) { return crop_assist_get_cur_home_pt(kCam2, &o.pan, &o.tilt); }, homePreset},
        {"ghomept", R"({"reply":{"p":1,"t":"2"}})", "failed to get Home PanTilt",
         "GET_HOME_PAN_TILT: Pan/Tilt not found",
         [](Outs& o) { return crop_assist_get_cur_home_pt(kCam2, &o.pan, &o.tilt); }, homePreset},
        // The envelope is checked before any command looks at the value.
        {"setenabled", R"({"omit":["reply"]})", "failed to set feature status", "Missing API reply",
         [](Outs&) { return crop_assist_set_enabled(kCam1, true); }, nothing},
        {"tshome", R"({"omit":["err"]})", "failed to trigger Go Home",
         "Missing root mandatory field", [](Outs&) { return crop_assist_trigger_home(kCam1); },
         nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.script);
        std::string script = c.script;
        script.insert(script.size() - 1, R"(,"times":1)");
        ASSERT_TRUE(session.command(std::string("script ") + c.type + " " + script));
        log.clear();
        Outs outs;
        EXPECT_EQ(c.call(outs), CROP_ASSIST_FAILURE);
        EXPECT_TRUE(c.presetKept(outs));
        EXPECT_TRUE(
            onlyCriticalLine(log, std::string("Omnivue API:") + c.failureText + ": " + c.error));
    }
}

TEST_F(CommandsE2e, RepliedNumbersAreConvertedAndSetCommandsIgnoreTheirValue) {
    TellanMode mode = TELLAN_MODE_OFF;
    ASSERT_TRUE(session.command(R"(script gmode {"reply":2.9,"times":1})"));
    ASSERT_EQ(crop_assist_get_mode(kCam1, &mode), 0) << log.dump();
    EXPECT_EQ(mode, 2);
    ASSERT_TRUE(session.command(R"(script gmode {"reply":-1.5,"times":1})"));
    ASSERT_EQ(crop_assist_get_mode(kCam1, &mode), 0) << log.dump();
    EXPECT_EQ(mode, -1);
    ASSERT_TRUE(session.command(R"(script gemode {"reply":70000,"times":1})"));
    ASSERT_EQ(crop_assist_get_mode_effective(kCam1, &mode), 0) << log.dump();
    EXPECT_EQ(mode, 70000) << "modes are not validated";

    float pan = 5.0f, tilt = 5.0f;
    ASSERT_TRUE(session.command(R"(script ghomept {"reply":{"p":0,"t":-7},"times":1})"));
    ASSERT_EQ(crop_assist_get_cur_home_pt(kCam1, &pan, &tilt), 0) << log.dump();
    EXPECT_EQ(pan, 0.0f);
    EXPECT_EQ(tilt, -7.0f);

    ASSERT_TRUE(session.command(R"(script szoomap {"reply":{"any":[1,2]},"times":1})"));
    EXPECT_EQ(crop_assist_set_auto_zoom_enabled(kCam1, true), 0);
    ASSERT_TRUE(session.command(R"(script shomeptc {"reply":"text","times":1})"));
    EXPECT_EQ(crop_assist_set_cur_pt_as_home(kCam1), 0);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(CommandsE2e, HomePanIsSentAsTheWidenedFloat) {
    ASSERT_TRUE(session.command("clear"));
    ASSERT_EQ(crop_assist_set_home_pt(kCam1, 0.1f, -2.5f), 0) << log.dump();
    const auto sent = session.requests("shomept");
    ASSERT_EQ(sent.size(), 1u);
    const QJsonObject body = sent[0].value("body").toObject();
    EXPECT_EQ(body.value("sn").toString(), kCam1);
    EXPECT_EQ(body.value("p").toDouble(), static_cast<double>(0.1f));
    EXPECT_NE(body.value("p").toDouble(), 0.1);
    EXPECT_EQ(body.value("t").toDouble(), -2.5);

    float pan = 0.0f, tilt = 0.0f;
    ASSERT_EQ(crop_assist_get_cur_home_pt(kCam1, &pan, &tilt), 0);
    EXPECT_EQ(pan, 0.1f);
    EXPECT_EQ(tilt, -2.5f);
}

TEST_F(CommandsE2e, ACrashDuringARequestGives97) {
    ASSERT_TRUE(session.command(R"(script isenabled {"crash":true})"));
    bool flag = true;
    EXPECT_EQ(crop_assist_is_enabled(kCam1, &flag), CROP_ASSIST_SERVICE_CRASHED);
    EXPECT_FALSE(flag);
    const auto critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_TRUE(isLostConnectionLine(critical[0], "failed to get feature status",
                                     " (service crash detected): "));

    // Every later call meets the same dead service.
    log.clear();
    TellanMode mode = TELLAN_MODE_OFF;
    EXPECT_EQ(crop_assist_get_mode(kCam1, &mode), CROP_ASSIST_SERVICE_CRASHED);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    EXPECT_TRUE(onlyCriticalLine(
        log,
        "Omnivue API:failed to get current mode (service crash detected): Server disconnected"));
    EXPECT_FALSE(crop_assist_is_initialized());
}

TEST_F(CommandsE2e, ACrashBetweenRequestsGives97) {
    ASSERT_TRUE(session.command("crash"));
    EXPECT_EQ(testsupport::waitForNoChildProcess(testsupport::serviceProcessName(), 5000), 0);
    float pan = 1.0f, tilt = 1.0f;
    EXPECT_EQ(crop_assist_get_cur_home_pt(kCam1, &pan, &tilt), CROP_ASSIST_SERVICE_CRASHED);
    EXPECT_EQ(pan, 0.0f);
    EXPECT_EQ(tilt, 0.0f);
    const auto critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 1u) << log.dump();
    EXPECT_TRUE(isLostConnectionLine(critical[0], "failed to get Home PanTilt",
                                     " (service crash detected): "));
    EXPECT_FALSE(crop_assist_is_initialized());
}

// An attached service is not the library's own: its crash is a lost connection, 99.
TEST(CommandsE2eAttached, ACrashOfAnAttachedServiceGives99) {
    LogCapture log;
    {
        testsupport::StandaloneService service("{}", testsupport::uniqueControlName("integration"));
        ASSERT_TRUE(service.ready()) << service.error();
        ASSERT_EQ(crop_assist_attach(), 0) << log.dump();
        bool flag = false;
        ASSERT_EQ(crop_assist_is_enabled(kCam1, &flag), 0) << log.dump();
        EXPECT_TRUE(flag);
        ASSERT_TRUE(testsupport::waitForCallbackConnections(service.control(), 1));

        ASSERT_TRUE(testsupport::controlOk(service.control(), "crash"));
        ASSERT_TRUE(service.process().waitForFinished(5000));
        EXPECT_EQ(service.process().exitStatus(), QProcess::CrashExit);
        log.clear();
        EXPECT_EQ(crop_assist_is_enabled(kCam1, &flag), CROP_ASSIST_NOT_INITIALIZED);
        EXPECT_FALSE(flag);
        const auto critical = log.at(QtCriticalMsg);
        ASSERT_EQ(critical.size(), 1u) << log.dump();
        EXPECT_TRUE(isLostConnectionLine(critical[0], "failed to get feature status", ": "));
        EXPECT_FALSE(crop_assist_is_initialized());
    }
    log.clear();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
}
