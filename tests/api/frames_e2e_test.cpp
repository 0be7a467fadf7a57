// Frames and regions of interest end to end: synthetic frames through shared memory to the
// stand-in service's detector, region lists of every shape through scripted replies, the lifetime
// of the arrays handed out, and the frame segments, which must not outlive their call.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "processresources.h"
#include "testframes.h"

#include <QJsonArray>
#include <QSharedMemory>

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

using testsupport::LibrarySession;
using testsupport::LogCapture;
using testsupport::onlyCriticalLine;

// Found by argument-dependent lookup only in the record's own (global) namespace.
static bool operator==(const TellanROI& a, const TellanROI& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

static void PrintTo(const TellanROI& r, std::ostream* os) {
    *os << "(" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ")";
}

namespace {

const char kCam1[] = "CAM1";
const char kCam2[] = "CAM2";

using Rect = testsupport::BrightRect;

std::vector<uint8_t> makeFrame(int width, int height, uint32_t pixfmt,
                               const std::vector<Rect>& bright) {
    return testsupport::packedFrame(width, height, pixfmt, bright);
}

std::vector<TellanROI> copyOf(const TellanROI* rois, int count) {
    return count > 0 ? std::vector<TellanROI>(rois, rois + count) : std::vector<TellanROI>();
}

std::vector<TellanROI> asRois(const std::vector<Rect>& rects) {
    std::vector<TellanROI> out;
    for (const Rect& r : rects)
        out.push_back(TellanROI{float(r.x), float(r.y), float(r.width), float(r.height)});
    return out;
}

}  // namespace

class FramesE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(session.initResult(), 0) << log.dump(); }
    void TearDown() override { EXPECT_TRUE(session.exitCleanly()); }

    int process(const char* device, const std::vector<uint8_t>& pixels, uint32_t width,
                uint32_t height, uint32_t pixfmt) {
        rois = reinterpret_cast<const TellanROI*>(&count);
        count = -1;
        return crop_assist_get_frame_rois(device, TellanFrame{pixels.data(), width, height, pixfmt},
                                          &rois, &count);
    }

    const std::vector<uint8_t> small = makeFrame(64, 48, TELLAN_PIXFMT_YUYV, kSmallRects);
    static const std::vector<Rect> kSmallRects;

    LogCapture log;
    LibrarySession session;
    const TellanROI* rois = nullptr;
    int count = 0;
};

const std::vector<Rect> FramesE2e::kSmallRects = {{40, 24, 10, 12}, {8, 4, 16, 8}};

TEST_F(FramesE2e, BrightRectanglesComeBackAsRegionsInBothFormats) {
    ASSERT_EQ(process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV), 0) << log.dump();
    // The detector lists regions top to bottom.
    EXPECT_EQ(copyOf(rois, count), asRois({{8, 4, 16, 8}, {40, 24, 10, 12}}));
    const TellanROI* yuyvRegions = rois;

    const std::vector<Rect> uyvyRects = {{0, 0, 5, 5}, {30, 30, 20, 6}};
    const auto uyvy = makeFrame(64, 48, TELLAN_PIXFMT_UYVY, uyvyRects);
    ASSERT_EQ(process(kCam2, uyvy, 64, 48, TELLAN_PIXFMT_UYVY), 0) << log.dump();
    EXPECT_EQ(copyOf(rois, count), asRois(uyvyRects));
    // Read as the other format the same bytes hold no bright luma.
    ASSERT_EQ(process(kCam2, uyvy, 64, 48, TELLAN_PIXFMT_YUYV), 0) << log.dump();
    EXPECT_EQ(count, 0);

    // The service remembers each camera's last regions.
    const TellanROI* last = nullptr;
    int lastCount = -1;
    ASSERT_EQ(crop_assist_get_last_frame_rois(kCam1, &last, &lastCount), 0) << log.dump();
    EXPECT_EQ(copyOf(last, lastCount), asRois({{8, 4, 16, 8}, {40, 24, 10, 12}}));
    EXPECT_NE(last, yuyvRegions);
    ASSERT_EQ(crop_assist_get_last_frame_rois(kCam2, &last, &lastCount), 0) << log.dump();
    EXPECT_EQ(lastCount, 0);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(FramesE2e, RegionListsOfEveryShape) {
    struct Case {
        const char* type;
        const char* reply;
        std::vector<TellanROI> expected;  // when the call succeeds
        const char* error;                // when it fails
    };
    const std::vector<Case> cases = {
        {"processframe",
         R"({"rois":[[1,2,3,4,5],[0,0,0.5,-1]]})",
         {{1, 2, 3, 4}, {0, 0, 0.5f, -1}},
         nullptr},
        {"processframe", R"({"rois":[[0.1,1e6,-3,4]]})", {{0.1f, 1e6f, -3, 4}}, nullptr},
        {"processframe", R"({"rois":[]})", {}, nullptr},
        {"processframe", R"({"rois":[[1,2,3]]})", {}, "PARSE_ROIS: Expected 4 values ROI"},
        {"processframe",
         R"({"rois":[[1,2,3,4],[1,2,true,4]]})",
         {},
         "PARSE_ROIS: Expected float ROI values"},
        {"processframe", R"({"rois":[["1",2],[1,2,3]]})", {}, "PARSE_ROIS: Expected 4 values ROI"},
        {"processframe", R"({"rois":[1,2,3,4]})", {}, "PARSE_ROIS: Expected ROI as array"},
        {"processframe", R"({"regions":[]})", {}, "PARSE_ROIS: Expected array of values"},
        {"processframe", R"({"rois":{}})", {}, "PARSE_ROIS: Expected array of values"},
        {"processframe", R"([[1,2,3,4]])", {}, "PROCESS_FRAME: Expected single object"},
        {"lastrois", R"([[9,8,7,6]])", {{9, 8, 7, 6}}, nullptr},
        {"lastrois", R"([])", {}, nullptr},
        {"lastrois", R"({"rois":[]})", {}, "PARSE_ROIS: Expected array of values"},
        {"lastrois", R"([[9,8,7,null]])", {}, "PARSE_ROIS: Expected float ROI values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.reply);
        ASSERT_TRUE(session.command(std::string("script ") + c.type + R"( {"reply":)" + c.reply +
                                    R"(,"times":1})"));
        log.clear();
        const bool frame = std::string(c.type) == "processframe";
        int result = 0;
        if (frame) {
            result = process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV);
        } else {
            rois = reinterpret_cast<const TellanROI*>(&count);
            count = -1;
            result = crop_assist_get_last_frame_rois(kCam1, &rois, &count);
        }
        if (!c.error) {
            EXPECT_EQ(result, 0) << log.dump();
            EXPECT_EQ(copyOf(rois, count), c.expected);
            EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
            continue;
        }
        EXPECT_EQ(result, CROP_ASSIST_FAILURE);
        EXPECT_EQ(rois, nullptr);
        EXPECT_EQ(count, 0);
        const std::string failure =
            frame ? "failed to process external frame" : "failed to get last known ROIs";
        EXPECT_TRUE(onlyCriticalLine(log, "Omnivue API:" + failure + ": " + c.error));
    }
}

TEST_F(FramesE2e, AFailedCallLeavesThePreviousArrayAndTheTwoArraysAreSeparate) {
    ASSERT_EQ(process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV), 0) << log.dump();
    const TellanROI* frameArray = rois;
    const int frameCount = count;
    const std::vector<TellanROI> frameRegions = copyOf(rois, count);
    ASSERT_EQ(frameCount, 2);

    ASSERT_TRUE(session.command(R"(script processframe {"reply":{"rois":[[1,2,3]]},"times":1})"));
    EXPECT_EQ(process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV), CROP_ASSIST_FAILURE);
    ASSERT_TRUE(session.command(R"(script processframe {"code":7,"err":"no","times":1})"));
    EXPECT_EQ(process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV), 7);
    EXPECT_EQ(copyOf(frameArray, frameCount), frameRegions);

    const TellanROI* lastArray = nullptr;
    int lastCount = 0;
    ASSERT_TRUE(session.command(R"(script lastrois {"reply":[[9,8,7,6]],"times":1})"));
    ASSERT_EQ(crop_assist_get_last_frame_rois(kCam1, &lastArray, &lastCount), 0) << log.dump();
    EXPECT_EQ(copyOf(lastArray, lastCount), (std::vector<TellanROI>{{9, 8, 7, 6}}));
    EXPECT_EQ(copyOf(frameArray, frameCount), frameRegions) << "lastrois replaced the frame's";

    const TellanROI* ignored = nullptr;
    int ignoredCount = 0;
    ASSERT_TRUE(session.command(R"(script lastrois {"reply":{},"times":1})"));
    EXPECT_EQ(crop_assist_get_last_frame_rois(kCam1, &ignored, &ignoredCount), CROP_ASSIST_FAILURE);
    EXPECT_EQ(copyOf(lastArray, lastCount), (std::vector<TellanROI>{{9, 8, 7, 6}}));

    ASSERT_TRUE(session.command(R"(script processframe {"reply":{"rois":[[5,5,5,5]]},"times":1})"));
    ASSERT_EQ(process(kCam1, small, 64, 48, TELLAN_PIXFMT_YUYV), 0) << log.dump();
    EXPECT_EQ(copyOf(rois, count), (std::vector<TellanROI>{{5, 5, 5, 5}}));
    EXPECT_EQ(copyOf(lastArray, lastCount), (std::vector<TellanROI>{{9, 8, 7, 6}}))
        << "processframe replaced the last regions";
}

TEST_F(FramesE2e, EachFrameTravelsInItsOwnSegmentThatEndsWithTheCall) {
    const testsupport::IpcObjects before = testsupport::ipcObjects();
    ASSERT_TRUE(session.command("clear"));

    const auto large = makeFrame(640, 480, TELLAN_PIXFMT_YUYV, {{100, 100, 50, 40}});
    ASSERT_EQ(process(kCam1, large, 640, 480, TELLAN_PIXFMT_YUYV), 0) << log.dump();
    EXPECT_EQ(copyOf(rois, count), asRois({{100, 100, 50, 40}}));
    ASSERT_EQ(process(kCam2, small, 64, 48, TELLAN_PIXFMT_UYVY), 0) << log.dump();
    ASSERT_TRUE(session.command(R"(script processframe {"code":7,"err":"no","times":1})"));
    EXPECT_EQ(process(kCam2, small, 64, 48, TELLAN_PIXFMT_YUYV), 7);

    const auto sent = session.requests("processframe");
    ASSERT_EQ(sent.size(), 3u);
    const QJsonObject first = sent[0].value("body").toObject();
    EXPECT_EQ(first.keys(),
              (QStringList{"dataname", "datasize", "height", "pixfmt", "sn", "width"}));
    EXPECT_EQ(first.value("datasize").toDouble(), 614400.0);
    EXPECT_EQ(first.value("width").toDouble(), 640.0);
    EXPECT_EQ(first.value("height").toDouble(), 480.0);
    EXPECT_EQ(first.value("pixfmt").toDouble(), 1.0);
    EXPECT_EQ(first.value("sn").toString(), kCam1);
    const QJsonObject second = sent[1].value("body").toObject();
    EXPECT_EQ(second.value("datasize").toDouble(), 6144.0);
    EXPECT_EQ(second.value("pixfmt").toDouble(), 2.0);

    std::set<QString> names;
    for (const QJsonObject& request : sent) {
        const QString name = request.value("body").toObject().value("dataname").toString();
        ASSERT_FALSE(name.isEmpty());
        names.insert(name);
        QSharedMemory segment;
        segment.setNativeKey(name);
        EXPECT_FALSE(segment.attach(QSharedMemory::ReadOnly)) << name.toStdString();
        EXPECT_EQ(segment.error(), QSharedMemory::NotFound) << segment.errorString().toStdString();
    }
    EXPECT_EQ(names.size(), 3u) << "every frame has a segment of its own";
    const testsupport::IpcObjects added = testsupport::ipcAddedSince(before);
    EXPECT_TRUE(added.segments.empty() && added.semaphores.empty()) << testsupport::describe(added);
}
