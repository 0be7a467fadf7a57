// Long runs of the real library against the real stand-in service: many init/exit cycles, and
// many calls in one session, must not leave threads, handles, IPC objects or memory behind. Each
// run warms up first (Qt creates some process-wide objects once), then measures.
#include "session.h"
#include "testframes.h"

#include <QElapsedTimer>

#include <cstdlib>
#include <iostream>

namespace {

// Resident memory may grow this much over a whole run: allocator pools and Qt's caches settle in
// steps, while a leak of some 20 KiB per cycle, or of some 40 bytes per call, exceeds it.
constexpr long kRssGrowthKiB = 4 * 1024;

// The number of repetitions, which OMNIVUE_SOAK_<name> may override for a longer or shorter run.
int repetitions(const char* name, int fallback) {
    const int value = std::atoi(qgetenv((std::string("OMNIVUE_SOAK_") + name).c_str()).constData());
    return value > 0 ? value : fallback;
}

// One session: init, a call that needs the service, exit; nothing may be logged above debug.
::testing::AssertionResult oneCycle(testsupport::LogCapture& log) {
    testsupport::LibrarySession session;
    bool enabled = false;
    if (session.initResult() != 0 || crop_assist_is_enabled("CAM1", &enabled) != 0 || !enabled)
        return ::testing::AssertionFailure() << log.dump();
    if (!session.exitCleanly())
        return ::testing::AssertionFailure() << "the service outlived exit";
    if (!log.at(QtWarningMsg).empty() || !log.at(QtCriticalMsg).empty())
        return ::testing::AssertionFailure() << log.dump();
    log.clear();
    return ::testing::AssertionSuccess();
}

// Threads and handles exactly as before, memory within the bound, no IPC object added.
void expectBackToBaseline(const testsupport::Resources& before, const std::set<std::string>& ipc) {
    const testsupport::Resources after = testsupport::ownResources(before.threads, before.handles);
    std::cout << "before: " << before.describe() << "\nafter:  " << after.describe() << std::endl;
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.handles, before.handles);
    if (testsupport::kResidentMemoryMeasurable) {
        EXPECT_LT(after.rssKiB - before.rssKiB, kRssGrowthKiB);
    }
    const std::set<std::string> added = testsupport::ipcAddedSince(ipc);
    EXPECT_TRUE(added.empty()) << *added.begin();
}

// Call number `i` of a mixed run: every kind of exported call in turn, each checked against the
// service's default cameras.
bool mixedCall(int i, const std::vector<uint8_t>& frame) {
    const TellanROI* rois = nullptr;
    const TellanDeviceInfo* devices = nullptr;
    TellanDeviceInfo info{};
    TellanMode mode = TELLAN_MODE_INVALID;
    const TellanMode wanted = i % 16 == 1 ? TELLAN_MODE_GROUP : TELLAN_MODE_FRAMING;
    float pan = 0.0f, tilt = 0.0f;
    bool flag = i % 8 == 7;
    int count = 0;
    switch (i % 8) {
        case 0:
            return crop_assist_is_enabled("CAM1", &flag) == 0 && flag;
        case 1:
            return crop_assist_set_mode("CAM1", wanted) == 0 &&
                   crop_assist_get_mode("CAM1", &mode) == 0 && mode == wanted;
        case 2:
            return crop_assist_set_home_pt("CAM2", float(i % 90), -1.5f) == 0 &&
                   crop_assist_get_cur_home_pt("CAM2", &pan, &tilt) == 0 && pan == float(i % 90) &&
                   tilt == -1.5f;
        case 3:
            return crop_assist_get_devices(&devices, &count) == 0 && count == 2 &&
                   std::string(devices[1].sn) == "CAM2";
        case 4:
            return crop_assist_get_device_info("CAM2", &info) == 0 &&
                   std::string(info.name) == "Omnivue Room Camera";
        case 5:
            return crop_assist_get_frame_rois("CAM1",
                                              TellanFrame{frame.data(), 64, 48, TELLAN_PIXFMT_YUYV},
                                              &rois, &count) == 0 &&
                   count == 1 && rois[0].x == 8.0f && rois[0].width == 16.0f;
        case 6:
            return crop_assist_get_last_frame_rois("CAM1", &rois, &count) == 0 && count == 1 &&
                   rois[0].height == 8.0f;
        default:
            return crop_assist_is_mode_supported("CAM2", TELLAN_MODE_SPEAKER, &flag) == 0 &&
                   !flag && crop_assist_is_initialized();
    }
}

}  // namespace

TEST(Soak, InitExitCyclesLeaveNothingBehind) {
    testsupport::LogCapture log;
    const int threadsWithoutLibrary = testsupport::ownResources().threads;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(oneCycle(log)) << "warm-up cycle " << i;
    const std::set<std::string> ipc = testsupport::ipcObjects();
    const testsupport::Resources before = testsupport::ownResources(threadsWithoutLibrary);
    const int cycles = repetitions("CYCLES", 200);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < cycles; ++i)
        ASSERT_TRUE(oneCycle(log)) << "cycle " << i;
    std::cout << cycles << " init/exit cycles took " << clock.elapsed() << " ms" << std::endl;
    expectBackToBaseline(before, ipc);
}

TEST(Soak, ManyCallsInOneSessionLeaveNothingBehind) {
    testsupport::LogCapture log;
    testsupport::LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    // The service announces its two devices right after the connection; wait for them.
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    for (int i = 0; i < 500 && count != 2; ++i)
        crop_assist_get_devices(&devices, &count);
    const auto frame = testsupport::packedFrame(64, 48, TELLAN_PIXFMT_YUYV, {{8, 4, 16, 8}});
    // Frames come before the last-regions query in each round, so the first round is complete.
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(mixedCall(i, frame)) << "call " << i << "\n" << log.dump();
    const std::set<std::string> ipc = testsupport::ipcObjects();
    const testsupport::Resources before = testsupport::ownResources();
    const int calls = repetitions("CALLS", 100000);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < calls; ++i)
        ASSERT_TRUE(mixedCall(i, frame)) << "call " << i << "\n" << log.dump();
    std::cout << calls << " calls took " << clock.elapsed() << " ms" << std::endl;
    expectBackToBaseline(before, ipc);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_TRUE(session.exitCleanly());
}
