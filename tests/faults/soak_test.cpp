// Long runs of the real library against the real stand-in service: many init/exit cycles, and
// many calls in one session, must not leave threads, descriptors, IPC objects or memory behind.
// Each run warms up first (Qt creates some process-wide objects once), then measures.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "processresources.h"
#include "testframes.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

using testsupport::IpcObjects;
using testsupport::LibrarySession;
using testsupport::LogCapture;
using testsupport::ProcessResources;

namespace {

// Resident memory may grow this much over a whole run: allocator pools and Qt's caches settle
// in steps, while a leak of some 20 KiB per cycle, or of some 40 bytes per call, exceeds it.
constexpr long kRssGrowthKiB = 4 * 1024;

// The number of repetitions, which OMNIVUE_SOAK_<name> may override for a longer or shorter run.
int repetitions(const char* name, int fallback) {
    const char* value = std::getenv((std::string("OMNIVUE_SOAK_") + name).c_str());
    return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

// One session: init, a call that needs the service, exit; nothing may stay behind, and nothing
// may be logged above debug level. The log is emptied afterwards, so it does not grow.
::testing::AssertionResult oneCycle(LogCapture& log) {
    LibrarySession session;
    if (session.initResult() != 0)
        return ::testing::AssertionFailure() << "init gave " << session.initResult() << "\n"
                                             << log.dump();
    bool enabled = false;
    const int result = crop_assist_is_enabled("CAM1", &enabled);
    if (result != 0 || !enabled)
        return ::testing::AssertionFailure() << "is_enabled gave " << result << "\n" << log.dump();
    if (!session.exitCleanly())
        return ::testing::AssertionFailure() << "the service outlived exit";
    if (!log.at(QtWarningMsg).empty() || !log.at(QtCriticalMsg).empty())
        return ::testing::AssertionFailure() << log.dump();
    log.clear();
    return ::testing::AssertionSuccess();
}

// Compares a later measurement with the baseline: threads and descriptors exactly, memory
// within the bound, and no IPC object beyond those of the baseline.
void expectBackToBaseline(const ProcessResources& before, const IpcObjects& ipcBefore) {
    const ProcessResources after =
        testsupport::processResourcesWithThreads(before.threads, before.fds);
    std::cout << "before: " << testsupport::describe(before)
              << "\nafter:  " << testsupport::describe(after) << std::endl;
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.fds, before.fds);
    if (testsupport::kResidentMemoryMeasurable) {
        EXPECT_LT(after.rssKiB - before.rssKiB, kRssGrowthKiB);
    }
    const IpcObjects added = testsupport::ipcAddedSince(ipcBefore);
    EXPECT_TRUE(added.segments.empty() && added.semaphores.empty()) << testsupport::describe(added);
}

}  // namespace

TEST(Soak, InitExitCyclesLeaveNothingBehind) {
    LogCapture log;
    const int threadsWithoutLibrary = testsupport::processResources().threads;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(oneCycle(log)) << "warm-up cycle " << i;
    const IpcObjects ipcBefore = testsupport::ipcObjects();
    const ProcessResources before = testsupport::processResourcesWithThreads(threadsWithoutLibrary);

    const int cycles = repetitions("CYCLES", 200);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < cycles; ++i)
        ASSERT_TRUE(oneCycle(log)) << "cycle " << i;
    std::cout << cycles << " init/exit cycles took " << clock.elapsed() << " ms" << std::endl;

    expectBackToBaseline(before, ipcBefore);
}

namespace {

// A 64 x 48 YUYV frame, dark but for one bright 16 x 8 block at (8, 4).
std::vector<uint8_t> smallFrame() {
    return testsupport::packedFrame(64, 48, TELLAN_PIXFMT_YUYV, {{8, 4, 16, 8}});
}

// Call number `i` of a mixed run; every kind of exported call in turn, each with its result
// checked against the service's default cameras.
::testing::AssertionResult mixedCall(int i, const std::vector<uint8_t>& frame) {
    int result = -1;
    bool ok = false;
    switch (i % 8) {
        case 0: {
            bool enabled = false;
            result = crop_assist_is_enabled("CAM1", &enabled);
            ok = enabled;
            break;
        }
        case 1: {
            const TellanMode wanted = i % 16 == 1 ? TELLAN_MODE_GROUP : TELLAN_MODE_FRAMING;
            TellanMode mode = TELLAN_MODE_INVALID;
            result = crop_assist_set_mode("CAM1", wanted);
            if (result == 0)
                result = crop_assist_get_mode("CAM1", &mode);
            ok = mode == wanted;
            break;
        }
        case 2: {
            float pan = 0.0f, tilt = 0.0f;
            result = crop_assist_set_home_pt("CAM2", float(i % 90), -1.5f);
            if (result == 0)
                result = crop_assist_get_cur_home_pt("CAM2", &pan, &tilt);
            ok = pan == float(i % 90) && tilt == -1.5f;
            break;
        }
        case 3: {
            const TellanDeviceInfo* devices = nullptr;
            int count = 0;
            result = crop_assist_get_devices(&devices, &count);
            ok = count == 2 && std::string(devices[1].sn) == "CAM2";
            break;
        }
        case 4: {
            TellanDeviceInfo info{};
            result = crop_assist_get_device_info("CAM2", &info);
            ok = std::string(info.name) == "Omnivue Room Camera";
            break;
        }
        case 5: {
            const TellanROI* rois = nullptr;
            int count = 0;
            result = crop_assist_get_frame_rois(
                "CAM1", TellanFrame{frame.data(), 64, 48, TELLAN_PIXFMT_YUYV}, &rois, &count);
            ok = count == 1 && rois[0].x == 8.0f && rois[0].width == 16.0f;
            break;
        }
        case 6: {
            const TellanROI* rois = nullptr;
            int count = 0;
            result = crop_assist_get_last_frame_rois("CAM1", &rois, &count);
            ok = count == 1 && rois[0].height == 8.0f;
            break;
        }
        default: {
            bool supported = true;
            result = crop_assist_is_mode_supported("CAM2", TELLAN_MODE_SPEAKER, &supported);
            ok = !supported && crop_assist_is_initialized();
            break;
        }
    }
    if (result == 0 && ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "call " << i << " gave " << result;
}

}  // namespace

TEST(Soak, ManyCallsInOneSessionLeaveNothingBehind) {
    LogCapture log;
    LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    // The service announces its two devices right after the connection; wait for them.
    QElapsedTimer announced;
    announced.start();
    for (int count = 0; count != 2 && announced.elapsed() < 5000;) {
        const TellanDeviceInfo* devices = nullptr;
        crop_assist_get_devices(&devices, &count);
        if (count != 2)
            QThread::msleep(10);
    }
    const std::vector<uint8_t> frame = smallFrame();
    // Frames come before the last-regions query in each round, so the first round is complete.
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(mixedCall(i, frame)) << log.dump();
    const IpcObjects ipcBefore = testsupport::ipcObjects();
    const ProcessResources before = testsupport::processResources();

    const int calls = repetitions("CALLS", 100000);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < calls; ++i)
        ASSERT_TRUE(mixedCall(i, frame)) << log.dump();
    std::cout << calls << " calls took " << clock.elapsed() << " ms" << std::endl;

    expectBackToBaseline(before, ipcBefore);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
    EXPECT_TRUE(session.exitCleanly());
}
