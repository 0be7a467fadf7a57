// Frames to the stand-in's detector: the region arrays' lifetime, segments ending with the call.
#include "session.h"
#include "testframes.h"

#include <QSharedMemory>

namespace {

using testsupport::roisText;

class Frames : public testsupport::SessionTest {
protected:
    std::string process(const char* device, int width, int height, uint32_t pixfmt,
                        const std::vector<testsupport::BrightRect>& rects) {
        const auto pixels = testsupport::packedFrame(width, height, pixfmt, rects);
        const TellanFrame frame{pixels.data(), uint32_t(width), uint32_t(height), pixfmt};
        return crop_assist_get_frame_rois(device, frame, &rois, &count) ? "failed"
                                                                        : roisText(rois, count);
    }
    std::string last(const char* device) {
        const int failed = crop_assist_get_last_frame_rois(device, &lastRois, &lastCount);
        return failed ? "failed" : roisText(lastRois, lastCount);
    }
    const TellanROI* rois = nullptr;
    const TellanROI* lastRois = nullptr;
    int count = 0, lastCount = 0;
};

}  // namespace

TEST_F(Frames, RegionsArraysAndSegments) {
    // A failed call leaves the previous array in place; the two arrays are apart.
    ASSERT_EQ(process("CAM1", 32, 16, TELLAN_PIXFMT_YUYV, {{8, 4, 16, 8}}), "8,4,16,8;");
    ASSERT_EQ(last("CAM1"), "8,4,16,8;");
    const TellanROI* frameArray = rois;
    const TellanROI* lastArray = lastRois;
    ASSERT_TRUE(session.command(R"(script processframe {"code":7,"err":"no","times":1})"));
    ASSERT_TRUE(session.command(R"(script lastrois {"reply":{},"times":1})"));
    EXPECT_EQ(process("CAM1", 32, 16, TELLAN_PIXFMT_YUYV, {}), "failed");
    EXPECT_EQ(last("CAM1"), "failed");
    EXPECT_EQ(roisText(frameArray, 1) + roisText(lastArray, 1), "8,4,16,8;8,4,16,8;");
    ASSERT_TRUE(session.command(R"(script lastrois {"reply":[[9,8,7,6]],"times":1})"));
    EXPECT_EQ(last("CAM1"), "9,8,7,6;");
    EXPECT_EQ(roisText(frameArray, 1), "8,4,16,8;") << "lastrois replaced the frame's regions";
    EXPECT_EQ(process("CAM1", 32, 16, TELLAN_PIXFMT_YUYV, {{0, 0, 4, 4}}), "0,0,4,4;");
    EXPECT_EQ(roisText(lastRois, 1), "9,8,7,6;") << "processframe replaced the last regions";

    // Each frame travels in a segment of its own that ends with the call.
    ASSERT_TRUE(session.command("clear"));
    EXPECT_EQ(process("CAM1", 640, 480, TELLAN_PIXFMT_YUYV, {{100, 100, 50, 40}}),
              "100,100,50,40;");
    EXPECT_EQ(process("CAM2", 64, 48, TELLAN_PIXFMT_UYVY, {{30, 30, 20, 6}}), "30,30,20,6;");
    ASSERT_TRUE(session.command(R"(script processframe {"code":7,"err":"no","times":1})"));
    EXPECT_EQ(process("CAM2", 64, 48, TELLAN_PIXFMT_YUYV, {}), "failed");

    std::set<QString> names;
    for (const std::string& frame : session.control().requests("processframe")) {
        const QString name = QJsonDocument::fromJson(frame.c_str())["body"]["dataname"].toString();
        names.insert(name);
        QSharedMemory segment;
        segment.setNativeKey(name);
        EXPECT_FALSE(segment.attach(QSharedMemory::ReadOnly)) << name.toStdString();
        EXPECT_EQ(segment.error(), QSharedMemory::NotFound) << segment.errorString().toStdString();
    }
    EXPECT_EQ(names.size(), 3u) << "every frame has a segment of its own";
}
