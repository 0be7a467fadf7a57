// Argument checks and presets of the query and command entry points, before any init: a null
// pointer gives 98 with nothing written and nothing logged; otherwise the presets are written
// and the call fails with 99 and exactly one critical line.
#include "crop_assist.h"
#include "logcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using testsupport::LogCapture;

namespace {

const unsigned char kFrameBytes[8] = {};
const TellanFrame kGoodFrame{kFrameBytes, 2, 2, TELLAN_PIXFMT_YUYV};

// One entry point with each of its required pointers nulled in turn.
struct NullCase {
    const char* name;
    std::function<int()> call;
};

}  // namespace

TEST(Arguments, NullPointersAndBadFramesGive98WithNothingWrittenOrLogged) {
    bool b = true;
    TellanMode mode = static_cast<TellanMode>(42);
    float pan = 5.0f, tilt = 6.0f;
    const TellanROI* rois = reinterpret_cast<const TellanROI*>(&b);
    int count = 7;
    const TellanDeviceInfo* devices = reinterpret_cast<const TellanDeviceInfo*>(&b);
    TellanDeviceInfo info{"x", "y", "z"};
    const char* dev = "CAM1";
    const auto sized = [&](uint32_t width, uint32_t height) {
        return crop_assist_get_frame_rois(dev, TellanFrame{kFrameBytes, width, height, 1}, &rois,
                                          &count);
    };

    const std::vector<NullCase> cases = {
        {"is_enabled device", [&] { return crop_assist_is_enabled(nullptr, &b); }},
        {"is_enabled out", [&] { return crop_assist_is_enabled(dev, nullptr); }},
        {"set_enabled", [&] { return crop_assist_set_enabled(nullptr, true); }},
        {"get_mode device", [&] { return crop_assist_get_mode(nullptr, &mode); }},
        {"get_mode out", [&] { return crop_assist_get_mode(dev, nullptr); }},
        {"get_mode_effective device",
         [&] { return crop_assist_get_mode_effective(nullptr, &mode); }},
        {"get_mode_effective out", [&] { return crop_assist_get_mode_effective(dev, nullptr); }},
        {"set_mode", [&] { return crop_assist_set_mode(nullptr, TELLAN_MODE_GROUP); }},
        {"is_mode_supported device",
         [&] { return crop_assist_is_mode_supported(nullptr, TELLAN_MODE_GROUP, &b); }},
        {"is_mode_supported out",
         [&] { return crop_assist_is_mode_supported(dev, TELLAN_MODE_GROUP, nullptr); }},
        {"is_adjustment_active device",
         [&] { return crop_assist_is_adjustment_active(nullptr, &b); }},
        {"is_adjustment_active out",
         [&] { return crop_assist_is_adjustment_active(dev, nullptr); }},
        {"is_auto_zoom device", [&] { return crop_assist_is_auto_zoom_enabled(nullptr, &b); }},
        {"is_auto_zoom out", [&] { return crop_assist_is_auto_zoom_enabled(dev, nullptr); }},
        {"set_auto_zoom", [&] { return crop_assist_set_auto_zoom_enabled(nullptr, true); }},
        {"get_home device", [&] { return crop_assist_get_cur_home_pt(nullptr, &pan, &tilt); }},
        {"get_home pan", [&] { return crop_assist_get_cur_home_pt(dev, nullptr, &tilt); }},
        {"get_home tilt", [&] { return crop_assist_get_cur_home_pt(dev, &pan, nullptr); }},
        {"set_home", [&] { return crop_assist_set_home_pt(nullptr, 0.1f, 0.2f); }},
        {"set_cur_pt_as_home", [&] { return crop_assist_set_cur_pt_as_home(nullptr); }},
        {"trigger_home", [&] { return crop_assist_trigger_home(nullptr); }},
        {"is_upload_crash_reports",
         [&] { return crop_assist_is_upload_crash_reports_enabled(nullptr); }},
        {"frame device",
         [&] { return crop_assist_get_frame_rois(nullptr, kGoodFrame, &rois, &count); }},
        {"frame data",
         [&] {
             TellanFrame f = kGoodFrame;
             f.data = nullptr;
             return crop_assist_get_frame_rois(dev, f, &rois, &count);
         }},
        {"frame width 0",
         [&] {
             TellanFrame f = kGoodFrame;
             f.width = 0;
             return crop_assist_get_frame_rois(dev, f, &rois, &count);
         }},
        {"frame height 0",
         [&] {
             TellanFrame f = kGoodFrame;
             f.height = 0;
             return crop_assist_get_frame_rois(dev, f, &rois, &count);
         }},
        {"frame pixfmt 0",
         [&] {
             TellanFrame f = kGoodFrame;
             f.pixfmt = 0;
             return crop_assist_get_frame_rois(dev, f, &rois, &count);
         }},
        {"frame pixfmt 3",
         [&] {
             TellanFrame f = kGoodFrame;
             f.pixfmt = 3;
             return crop_assist_get_frame_rois(dev, f, &rois, &count);
         }},
        {"frame of 2^30 pixels", [&] { return sized(32768, 32768); }},
        {"frame whose pixel count wraps in 32 bits", [&] { return sized(65536, 65537); }},
        {"frame rois",
         [&] { return crop_assist_get_frame_rois(dev, kGoodFrame, nullptr, &count); }},
        {"frame count",
         [&] { return crop_assist_get_frame_rois(dev, kGoodFrame, &rois, nullptr); }},
        {"last rois device",
         [&] { return crop_assist_get_last_frame_rois(nullptr, &rois, &count); }},
        {"last rois out", [&] { return crop_assist_get_last_frame_rois(dev, nullptr, &count); }},
        {"last rois count", [&] { return crop_assist_get_last_frame_rois(dev, &rois, nullptr); }},
        {"devices out", [&] { return crop_assist_get_devices(nullptr, &count); }},
        {"devices count", [&] { return crop_assist_get_devices(&devices, nullptr); }},
        {"device info device", [&] { return crop_assist_get_device_info(nullptr, &info); }},
        {"device info out", [&] { return crop_assist_get_device_info(dev, nullptr); }},
    };

    LogCapture log;
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), CROP_ASSIST_INVALID_ARGUMENT) << c.name;
    }
    EXPECT_TRUE(b);
    EXPECT_EQ(mode, 42);
    EXPECT_EQ(pan, 5.0f);
    EXPECT_EQ(tilt, 6.0f);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(rois, reinterpret_cast<const TellanROI*>(&b));
    EXPECT_EQ(devices, reinterpret_cast<const TellanDeviceInfo*>(&b));
    EXPECT_STREQ(info.sn, "x");
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(Arguments, BeforeInitPresetsStayAndOneCriticalLineSays99) {
    LogCapture log;
    const char* dev = "CAM1";
    bool b = true;
    TellanMode mode = TELLAN_MODE_SPEAKER;
    float pan = 5.0f, tilt = 6.0f;
    int dummy = 0;
    const TellanROI* rois = reinterpret_cast<const TellanROI*>(&dummy);
    const TellanDeviceInfo* devices = reinterpret_cast<const TellanDeviceInfo*>(&dummy);
    int count = 7;
    TellanDeviceInfo info{"x", "y", "z"};
    const unsigned char pixels[8] = {};

    struct Expect {
        std::function<int()> call;
        const char* text;
    };
    const std::vector<Expect> calls = {
        {[&] { return crop_assist_is_enabled(dev, &b); }, "failed to get feature status"},
        {[&] { return crop_assist_set_enabled(dev, true); }, "failed to set feature status"},
        {[&] { return crop_assist_get_mode(dev, &mode); }, "failed to get current mode"},
        {[&] { return crop_assist_get_mode_effective(dev, &mode); },
         "failed to get current effective mode"},
        {[&] { return crop_assist_set_mode(dev, TELLAN_MODE_GROUP); },
         "failed to set current mode"},
        {[&] { return crop_assist_is_mode_supported(dev, TELLAN_MODE_GROUP, &b); },
         "failed to check is mode supported"},
        {[&] { return crop_assist_is_adjustment_active(dev, &b); },
         "failed to check adjustment status"},
        {[&] { return crop_assist_is_auto_zoom_enabled(dev, &b); },
         "failed to check auto-zoom status"},
        {[&] { return crop_assist_set_auto_zoom_enabled(dev, true); }, "failed to set auto-zoom"},
        {[&] { return crop_assist_get_cur_home_pt(dev, &pan, &tilt); },
         "failed to get Home PanTilt"},
        {[&] { return crop_assist_set_home_pt(dev, 1, 2); }, "failed to set Home PanTilt"},
        {[&] { return crop_assist_set_cur_pt_as_home(dev); },
         "failed to set current PanTilt as Home"},
        {[&] { return crop_assist_trigger_home(dev); }, "failed to trigger Go Home"},
        {[&] { return crop_assist_is_upload_crash_reports_enabled(&b); },
         "failed to get crash reporting status"},
        {[&] { return crop_assist_set_upload_crash_reports_enabled(false); },
         "failed to set crash reporting status"},
        {[&] {
             return crop_assist_get_frame_rois(dev, TellanFrame{pixels, 2, 2, 2}, &rois, &count);
         },
         "failed to process external frame"},
        // The largest frame is no argument error (the call fails before its pixels are read).
        {[&] {
             return crop_assist_get_frame_rois(dev, TellanFrame{pixels, 32768, 32767, 1}, &rois,
                                               &count);
         },
         "failed to process external frame"},
        {[&] { return crop_assist_get_last_frame_rois(dev, &rois, &count); },
         "failed to get last known ROIs"},
        {[&] { return crop_assist_get_devices(&devices, &count); }, "cannot get devices"},
        {[&] { return crop_assist_get_device_info(dev, &info); }, "cannot get device info"},
    };
    for (const auto& c : calls) {
        log.clear();
        EXPECT_EQ(c.call(), CROP_ASSIST_NOT_INITIALIZED) << c.text;
        const auto critical = log.at(QtCriticalMsg);
        ASSERT_EQ(critical.size(), 1u) << c.text << "\n" << log.dump();
        EXPECT_EQ(critical[0], std::string("Omnivue API:") + c.text + ": Missing api thread");
    }
    EXPECT_FALSE(b);
    EXPECT_EQ(mode, TELLAN_MODE_FRAMING);
    EXPECT_EQ(pan, 0.0f);
    EXPECT_EQ(tilt, 0.0f);
    EXPECT_EQ(rois, nullptr);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(info.sn, "");
    EXPECT_STREQ(info.name, "");
    EXPECT_STREQ(info.id, "");
    EXPECT_EQ(info.sn, info.name) << "one static empty string";
}

TEST(Arguments, CallbackSettersBeforeInitGive99) {
    LogCapture log;
    EXPECT_EQ(crop_assist_set_device_connected_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_EQ(crop_assist_set_device_disconnected_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_EQ(crop_assist_set_device_event_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    const auto critical = log.at(QtCriticalMsg);
    ASSERT_EQ(critical.size(), 3u) << log.dump();
    EXPECT_EQ(critical[0],
              "Omnivue API:failed to set device connected callback: Omnivue API not initialized");
    EXPECT_EQ(
        critical[1],
        "Omnivue API:failed to set device disconnected callback: Omnivue API not initialized");
    EXPECT_EQ(critical[2],
              "Omnivue API:failed to set device event callback: Omnivue API not initialized");
}
