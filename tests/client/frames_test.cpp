// Frame hand-over through shared memory and the two region lists, against an in-process peer.
#include "apiexpect.h"
#include "peeredcontroller.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedMemory>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

using namespace quarn::tellan_api;
using testsupport::throwsApi;

// TellanROI is a plain C record in the global namespace; these make it comparable and readable
// in assertions.
static bool operator==(const TellanROI& a, const TellanROI& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}
static void PrintTo(const TellanROI& r, std::ostream* out) {
    *out << "(" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ")";
}

namespace {

// What the peer saw of a "processframe" request while it was in flight.
struct SeenFrame {
    QJsonObject body;
    bool attached = false;
    QByteArray pixels;
};

class FramesTest : public testsupport::PeeredControllerTest {
protected:
    void SetUp() override {
        PeeredControllerTest::SetUp();
        // Like the service: attach by the native key, copy the pixels, detach before answering.
        peer.onRequest([this](const QByteArray& request) {
            const QJsonObject body = QJsonDocument::fromJson(request).object()["body"].toObject();
            SeenFrame frame{body, false, {}};
            QSharedMemory segment;
            segment.setNativeKey(body["dataname"].toString());
            if (segment.attach(QSharedMemory::ReadOnly)) {
                frame.attached = true;
                frame.pixels = QByteArray(static_cast<const char*>(segment.constData()),
                                          body["datasize"].toInt());
                segment.detach();
            }
            seen.push_back(frame);
        });
    }

    // The frames seen by the peer, once it has recorded `count` requests.
    const std::vector<SeenFrame>& seenAfter(size_t count) {
        EXPECT_TRUE(peer.waitForRequests(count));
        return seen;
    }

    static bool segmentExists(const QString& nativeKey) {
        QSharedMemory probe;
        probe.setNativeKey(nativeKey);
        const bool attached = probe.attach(QSharedMemory::ReadOnly);
        if (attached)
            probe.detach();
        return attached;
    }

    static QJsonValue rois(const QJsonValue& list) { return QJsonObject{{"rois", list}}; }

    std::vector<SeenFrame> seen;  // written on the peer thread before each request is recorded
};

TEST_F(FramesTest, InvalidFramesFailBeforeAnythingIsSent) {
    const char pixels[8] = {};
    const TellanFrame invalid[] = {
        {nullptr, 2, 2, TELLAN_PIXFMT_YUYV},
        {pixels, 2, 2, 3},
        {pixels, 2, 2, 0},
        {pixels, 0, 2, TELLAN_PIXFMT_UYVY},
        {pixels, 2, 0, TELLAN_PIXFMT_YUYV},
    };
    for (const TellanFrame& frame : invalid) {
        EXPECT_TRUE(throwsApi([&] { controller.getFrameRois("cam", &frame); }, 98,
                              "PROCESS_FRAME: No valid frame data"));
    }
    EXPECT_TRUE(throwsApi([&] { controller.getFrameRois("cam", nullptr); }, 98,
                          "PROCESS_FRAME: No valid frame data"));
    // The first request the peer gets is the next one.
    peer.answerOk(QJsonArray());
    controller.getLastFrameRois("cam");
    ASSERT_TRUE(peer.waitForRequests(1));
    EXPECT_EQ(peer.requests().front(), QByteArray(R"({"body":"cam","type":"lastrois"})"));
}

TEST_F(FramesTest, PixelsTravelThroughAOneRequestSegment) {
    QByteArray pixels(640 * 480 * 2, '\0');
    for (int i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<char>(i * 7 + i / 640);
    const TellanFrame frame{pixels.constData(), 640, 480, TELLAN_PIXFMT_YUYV};
    peer.answerOk(rois(QJsonArray{QJsonArray{1, 2.5, 3, 4, 99}, QJsonArray{0, 0, 0, 0}}));
    peer.answerOk(rois(QJsonArray()));

    const std::vector<TellanROI>* result = controller.getFrameRois("cam 1", &frame);
    ASSERT_EQ(result, &ApiControllerTestPeer::frameRois(controller));
    EXPECT_EQ(*result, (std::vector<TellanROI>{{1, 2.5f, 3, 4}, {0, 0, 0, 0}}));
    EXPECT_TRUE(controller.getFrameRois("cam 1", &frame)->empty());

    const auto& frames = seenAfter(2);
    ASSERT_EQ(frames.size(), 2u);
    const QJsonObject& body = frames[0].body;
    EXPECT_EQ(body.keys(),
              (QStringList{"dataname", "datasize", "height", "pixfmt", "sn", "width"}));
    EXPECT_EQ(body["datasize"].toDouble(), 614400.0);
    EXPECT_EQ(body["width"].toDouble(), 640.0);
    EXPECT_EQ(body["height"].toDouble(), 480.0);
    EXPECT_EQ(body["pixfmt"].toDouble(), 1.0);
    EXPECT_EQ(body["sn"].toString(), QString("cam 1"));
    ASSERT_TRUE(frames[0].attached);
    EXPECT_TRUE(frames[0].pixels == pixels);

    // Each frame has a segment of its own, and none outlives its call.
    const QString first = body["dataname"].toString();
    const QString second = frames[1].body["dataname"].toString();
    EXPECT_NE(first, second);
    for (const QString& key : {first, second})
        EXPECT_FALSE(segmentExists(key)) << key.toStdString();
}

TEST_F(FramesTest, RegionListsAreCheckedElementByElement) {
    struct Case {
        QJsonValue list;
        const char* text;
    };
    const Case cases[] = {
        {QJsonArray{QJsonArray{1, 2, 3}}, "PARSE_ROIS: Expected 4 values ROI"},
        {QJsonArray{QJsonArray{1, 2, true, 4}}, "PARSE_ROIS: Expected float ROI values"},
        {QJsonArray{QJsonArray{1, 2, 3, "4"}}, "PARSE_ROIS: Expected float ROI values"},
        {QJsonArray{1, 2, 3, 4}, "PARSE_ROIS: Expected ROI as array"},
        {QJsonArray{QJsonArray{1, 2, 3, 4}, QJsonArray{}}, "PARSE_ROIS: Expected 4 values ROI"},
        {QJsonObject{{"0", QJsonArray{1, 2, 3, 4}}}, "PARSE_ROIS: Expected array of values"},
        {QJsonValue(), "PARSE_ROIS: Expected array of values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(throwsApi([&] { ApiController::parseRois(c.list); }, 100, c.text));
    }
    EXPECT_EQ(ApiController::parseRois(QJsonArray{QJsonArray{-1.5, 0, 1e3, 7, "x", true}}),
              (std::vector<TellanROI>{{-1.5f, 0, 1000, 7}}));
    EXPECT_TRUE(ApiController::parseRois(QJsonArray()).empty());
}

TEST_F(FramesTest, FailedCallsKeepThePreviousListsAndFreeTheirSegment) {
    const char pixels[4 * 2 * 2] = {1, 2, 3, 4};
    const TellanFrame frame{pixels, 4, 2, TELLAN_PIXFMT_UYVY};
    peer.answerOk(rois(QJsonArray{QJsonArray{1, 2, 3, 4}}));
    peer.answerOk(QJsonArray{QJsonArray{5, 6, 7, 8}, QJsonArray{9, 10, 11, 12}});
    peer.answerOk(QJsonObject{{"regions", QJsonArray()}});  // no "rois"
    peer.answerOk(QJsonArray{QJsonArray{1, 2, 3, 4}});      // not an object
    peer.answerFrame(testsupport::errorEnvelope(6, "bad frame"));
    peer.answerOk(QJsonObject{{"rois", QJsonArray{QJsonArray{0, 0, 0, 0}}}});  // not an array

    const auto* frameList = controller.getFrameRois("cam", &frame);
    const auto* lastList = controller.getLastFrameRois("cam");
    ASSERT_EQ(lastList, &ApiControllerTestPeer::lastRois(controller));
    const TellanROI* frameData = frameList->data();
    const TellanROI* lastData = lastList->data();

    EXPECT_TRUE(throwsApi([&] { controller.getFrameRois("cam", &frame); }, 100,
                          "PARSE_ROIS: Expected array of values"));
    EXPECT_TRUE(throwsApi([&] { controller.getFrameRois("cam", &frame); }, 100,
                          "PROCESS_FRAME: Expected single object"));
    EXPECT_TRUE(throwsApi([&] { controller.getFrameRois("cam", &frame); }, 6, "bad frame"));
    EXPECT_TRUE(throwsApi([&] { controller.getLastFrameRois("cam"); }, 100,
                          "PARSE_ROIS: Expected array of values"));

    // Both lists, and the arrays the host was given, are untouched by the failures.
    EXPECT_EQ(*frameList, (std::vector<TellanROI>{{1, 2, 3, 4}}));
    EXPECT_EQ(*lastList, (std::vector<TellanROI>{{5, 6, 7, 8}, {9, 10, 11, 12}}));
    EXPECT_EQ(frameList->data(), frameData);
    EXPECT_EQ(lastList->data(), lastData);

    const auto& frames = seenAfter(6);
    ASSERT_EQ(frames.size(), 6u);
    for (const SeenFrame& seenFrame : frames) {
        const QString key = seenFrame.body["dataname"].toString();
        if (!key.isEmpty()) {
            EXPECT_FALSE(segmentExists(key)) << key.toStdString();
        }
    }
}

}  // namespace
