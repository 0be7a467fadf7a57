// The command catalogue against an in-process peer: reply checks, conversions and the exact
// requests each command puts on the wire.
#include "apiexpect.h"
#include "peeredcontroller.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <functional>

using namespace quarn::tellan_api;
using testsupport::errorEnvelope;
using testsupport::throwsApi;

namespace {

using CommandsTest = testsupport::PeeredControllerTest;

TEST_F(CommandsTest, BooleanQueriesAcceptOnlyBooleans) {
    struct Query {
        const char* text;
        std::function<bool()> call;
    };
    const Query queries[] = {
        {"IS_CROP_ASSIST_ENABLED: Expected single bool", [&] { return controller.isEnabled("c"); }},
        {"IS_ADJUSTMENT_ACTIVE: Expected single bool",
         [&] { return controller.isAdjustmentActive("c"); }},
        {"IS_AUTO_ZOOM_ON_PROCESS: Expected single bool",
         [&] { return controller.isAutoZoomEnabled("c"); }},
        {"IS_AUTO_UPLOAD_CRASH_REPORTS: Expected single bool",
         [&] { return controller.isUploadCrashReportsEnabled(); }},
        {"IS_CROP_ASSIST_MODE_SUPPORTED: Expected single boolean",
         [&] { return controller.isModeSupported("c", TELLAN_MODE_GROUP); }},
    };
    for (const Query& query : queries) {
        SCOPED_TRACE(query.text);
        peer.answerOk(true);
        peer.answerOk(false);
        peer.answerOk(1);
        peer.answerOk(QJsonValue());
        peer.answerOk(QString("true"));
        EXPECT_TRUE(query.call());
        EXPECT_FALSE(query.call());
        for (int rejected = 0; rejected < 3; ++rejected)
            EXPECT_TRUE(throwsApi(query.call, 100, query.text));
    }
}

TEST_F(CommandsTest, ModesAreTruncatedNumbers) {
    peer.answerOk(2.9);
    peer.answerOk(-1.5);
    peer.answerOk(3);
    peer.answerOk(QString("2"));
    peer.answerOk(QString("2"));
    peer.answerOk(QJsonValue());
    EXPECT_EQ(controller.getMode("c"), static_cast<TellanMode>(2));
    EXPECT_EQ(controller.getModeEffective("c"), static_cast<TellanMode>(-1));
    EXPECT_EQ(controller.getMode("c"), TELLAN_MODE_SPEAKER);
    EXPECT_TRUE(throwsApi([&] { controller.getMode("c"); }, 100,
                          "GET_CROP_ASSIST_MODE: Expected single number"));
    EXPECT_TRUE(throwsApi([&] { controller.getModeEffective("c"); }, 100,
                          "GET_CROP_ASSIST_MODE_EFFECTIVE: Expected single number"));
    EXPECT_TRUE(throwsApi([&] { controller.getMode("c"); }, 100,
                          "GET_CROP_ASSIST_MODE: Expected single number"));
}

TEST_F(CommandsTest, HomePointNeedsNumericPanAndTilt) {
    peer.answerOk(QJsonObject{{"p", 0}, {"t", 0}});
    peer.answerOk(QJsonObject{{"p", 12.25}, {"t", -0.1}, {"zoom", 3}});
    peer.answerOk(QJsonObject{{"p", 1}});
    peer.answerOk(QJsonObject{{"p", 1}, {"t", "2"}});
    peer.answerOk(QJsonArray{1, 2});
    peer.answerOk(QJsonValue());

    EXPECT_EQ(controller.getCurHomePt("c"), std::make_tuple(0.0f, 0.0f));
    EXPECT_EQ(controller.getCurHomePt("c"), std::make_tuple(12.25f, -0.1f));
    for (int missing = 0; missing < 2; ++missing) {
        EXPECT_TRUE(throwsApi([&] { controller.getCurHomePt("c"); }, 100,
                              "GET_HOME_PAN_TILT: Pan/Tilt not found"));
    }
    for (int notObject = 0; notObject < 2; ++notObject) {
        EXPECT_TRUE(throwsApi([&] { controller.getCurHomePt("c"); }, 100,
                              "GET_HOME_PAN_TILT: Expected single object"));
    }
}

TEST_F(CommandsTest, SetCommandsAcceptAnyReplyButNotServiceFailures) {
    const std::function<void()> setters[] = {
        [&] { controller.setEnabled("c", true); },
        [&] { controller.setMode("c", TELLAN_MODE_OFF); },
        [&] { controller.setAutoZoomEnabled("c", false); },
        [&] { controller.setHomePt("c", 1.0f, 2.0f); },
        [&] { controller.setCurPtAsHome("c"); },
        [&] { controller.triggerHome("c"); },
        [&] { controller.setUploadCrashReportsEnabled(true); },
    };
    for (const auto& set : setters) {
        peer.answerOk(QJsonValue());
        peer.answerOk(QJsonArray{1});
        peer.answerOk(QString("x"));
        peer.answerFrame(errorEnvelope(7, "device busy"));
        for (int accepted = 0; accepted < 3; ++accepted)
            EXPECT_NO_THROW(set());
        EXPECT_TRUE(throwsApi(set, 7, "device busy"));
    }
    peer.answerFrame(errorEnvelope(7, "device busy"));
    EXPECT_TRUE(throwsApi([&] { controller.isEnabled("c"); }, 7, "device busy"));
}

TEST_F(CommandsTest, RequestsOnTheWire) {
    // Each query gets a reply of its own type; the setters take null.
    const QJsonValue replies[] = {false, {},    1,     1,     {},
                                  false, false, false, {},    QJsonObject{{"p", 0}, {"t", 0}},
                                  {},    {},    {},    false, {}};
    for (const QJsonValue& reply : replies)
        peer.answerOk(reply);
    const char* const device = "Kamera \xc3\xbc";
    controller.isEnabled(device);
    controller.setEnabled(device, true);
    controller.getMode(device);
    controller.getModeEffective(device);
    controller.setMode(device, TELLAN_MODE_SPEAKER);
    controller.isModeSupported(device, static_cast<TellanMode>(-7));
    controller.isAdjustmentActive(device);
    controller.isAutoZoomEnabled(device);
    controller.setAutoZoomEnabled(device, false);
    controller.getCurHomePt(device);
    controller.setHomePt(device, 0.1f, -2.5f);
    controller.setCurPtAsHome(device);
    controller.triggerHome(device);
    controller.isUploadCrashReportsEnabled();
    controller.setUploadCrashReportsEnabled(false);

    const QByteArray name = R"("Kamera )"
                            "\xc3\xbc"
                            R"(")";
    const QByteArray expected[] = {
        R"({"body":)" + name + R"(,"type":"isenabled"})",
        R"({"body":{"bval":true,"sn":)" + name + R"(},"type":"setenabled"})",
        R"({"body":)" + name + R"(,"type":"gmode"})",
        R"({"body":)" + name + R"(,"type":"gemode"})",
        R"({"body":{"mode":3,"sn":)" + name + R"(},"type":"smode"})",
        R"({"body":{"mode":-7,"sn":)" + name + R"(},"type":"ismodes"})",
        R"({"body":)" + name + R"(,"type":"isaa"})",
        R"({"body":)" + name + R"(,"type":"iszoomap"})",
        R"({"body":{"bval":false,"sn":)" + name + R"(},"type":"szoomap"})",
        R"({"body":)" + name + R"(,"type":"ghomept"})",
        QByteArray(),  // "shomept": its pan has many digits, checked by value below
        R"({"body":)" + name + R"(,"type":"shomeptc"})",
        R"({"body":)" + name + R"(,"type":"tshome"})",
        R"({"body":"","type":"iaucr"})",
        R"({"body":{"bval":false,"sn":""},"type":"saucr"})",
    };
    const auto requests = requestsAfter(15);
    ASSERT_EQ(requests.size(), 15u);
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!expected[i].isEmpty()) {
            EXPECT_EQ(requests[i], expected[i]) << i;
        }
    }

    // The pan goes out as the float widened to double, not as the decimal 0.1.
    const QJsonObject home = QJsonDocument::fromJson(requests[10]).object();
    EXPECT_EQ(home.keys(), (QStringList{"body", "type"}));
    EXPECT_EQ(home.value("type").toString(), QString("shomept"));
    const QJsonObject body = home.value("body").toObject();
    EXPECT_EQ(body.keys(), (QStringList{"p", "sn", "t"}));
    EXPECT_EQ(body.value("sn").toString(), QString::fromUtf8(device));
    EXPECT_EQ(body.value("p").toDouble(), static_cast<double>(0.1f));
    EXPECT_NE(body.value("p").toDouble(), 0.1);
    EXPECT_EQ(body.value("t").toDouble(), -2.5);
    EXPECT_TRUE(requests[10].startsWith(R"({"body":{"p":0.1000000014901)")) << requests[10].data();
}

}  // namespace
