// Eight host threads call while callbacks call back: no deadlock, every answer right. Soak runs
// leave nothing behind (OMNIVUE_SOAK_CYCLES and OMNIVUE_SOAK_CALLS lengthen them).
#include "session.h"
#include "testframes.h"

#include <future>

namespace {

constexpr int kThreads = 8;

// Storage handed out is replaced by the next call from any thread: the host serialises those.
std::mutex hostStorage;

// Callbacks look up arrivals (found) and losses (gone already); events query the library.
std::string lookUp(const char* sn) {
    std::lock_guard<std::mutex> lock(hostStorage);
    TellanDeviceInfo info{};
    const int result = crop_assist_get_device_info(sn, &info);
    return result == CROP_ASSIST_DEVICE_NOT_FOUND ? "not found" : result ? "failed" : info.name;
}
void onConnected(const char* sn) {
    if (lookUp(sn) != "Omnivue Camera " + std::string(sn))
        ADD_FAILURE() << "lookup of arrived " << sn;
    testsupport::NoticeLog::connected(sn);
}
void onDisconnected(const char* sn) {
    if (lookUp(sn) != "not found")
        ADD_FAILURE() << "lookup of lost " << sn;
    testsupport::NoticeLog::disconnected(sn);
}
void onEvent(int code, const char* text) {
    bool enabled = false;
    if (crop_assist_is_enabled("CB", &enabled) != 0 || !enabled)
        ADD_FAILURE() << "query from the event callback";
    testsupport::NoticeLog::event(code, text);
}

void hostCalls(const std::string& sn, int calls) {
    const char* const device = sn.c_str();
    const auto frame = testsupport::packedFrame(32, 16, TELLAN_PIXFMT_YUYV, {{16, 8, 8, 4}});
    TellanMode got = TELLAN_MODE_INVALID;
    float pan = 0.5f, tilt = 0.5f;
    for (int j = 0; j < calls; ++j) {
        const TellanMode mode = static_cast<TellanMode>(j % 4);
        const bool enabled = j % 3 != 0;
        const TellanROI* rois = nullptr;
        const TellanDeviceInfo* devices = nullptr;
        TellanDeviceInfo info{};
        int count = 0;
        bool right = crop_assist_set_mode(device, mode) == 0 &&
                     crop_assist_set_enabled(device, enabled) == 0 &&
                     crop_assist_get_mode_effective(device, &got) == 0 &&
                     got == (enabled ? mode : 0) &&
                     crop_assist_set_home_pt(device, j / 8.0f, -j / 8.0f) == 0 &&
                     crop_assist_get_cur_home_pt(device, &pan, &tilt) == 0 && pan == j / 8.0f &&
                     tilt == -pan &&
                     crop_assist_set_device_event_callback(&onEvent) == 0;  // setters take no lock
        std::lock_guard<std::mutex> lock(hostStorage);
        if (j % 2 == 0) {
            right = right &&
                    crop_assist_get_frame_rois(device, TellanFrame{frame.data(), 32, 16, 1}, &rois,
                                               &count) == 0 &&
                    count == 1 && rois[0].x == 16.0f && rois[0].height == 4.0f &&
                    crop_assist_get_device_info(device, &info) == 0 && info.sn == sn;
        } else {
            bool listed = false;
            right = right && crop_assist_get_devices(&devices, &count) == 0;
            for (int i = 0; i < count; ++i)
                listed = listed || devices[i].sn == sn;
            right = right && listed;
        }
        if (!right) {
            ADD_FAILURE() << sn << " round " << j;
            return;
        }
    }
}

std::string scenario() {
    std::string devices = R"({"sn":"CB","enabled":true})";
    for (int i = 0; i < kThreads; ++i)
        devices += R"(,{"sn":"T)" + std::to_string(i) + R"(","supportedModes":[0,1,2,3]})";
    return R"({"devices":[)" + devices + "]}";
}

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

int repetitions(const char* name, int fallback) {
    const int value = qEnvironmentVariableIntValue((std::string("OMNIVUE_SOAK_") + name).c_str());
    return value > 0 ? value : fallback;
}

// Threads and handles as before, memory within 4 MiB (pools settle in steps), no IPC object.
void expectBackToBaseline(const testsupport::Resources& before, const std::set<std::string>& ipc) {
    const testsupport::Resources after = testsupport::ownResources(before.threads, before.handles);
    EXPECT_EQ(after.threads, before.threads) << before.describe() << " / " << after.describe();
    EXPECT_EQ(after.handles, before.handles);
    if (testsupport::kResidentMemoryMeasurable) {
        EXPECT_LT(after.rssKiB - before.rssKiB, 4 * 1024);
    }
    const std::set<std::string> added = testsupport::ipcAddedSince(ipc);
    EXPECT_TRUE(added.empty()) << *added.begin();
}

class Load : public testsupport::SessionTest {
protected:
    Load() : SessionTest(scenario()) {}
    void SetUp() override {
        SessionTest::SetUp();
        ASSERT_EQ(testsupport::listDevicesUntil(kThreads + 1), kThreads + 1);
    }
};

}  // namespace

TEST_F(Load, ConcurrencyHostThreadsCallWhileCallbacksCallBack) {
    ASSERT_EQ(crop_assist_set_device_connected_callback(&onConnected), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(&onDisconnected), 0);
    ASSERT_EQ(crop_assist_set_device_event_callback(&onEvent), 0);
    std::vector<std::future<void>> hosts;
    for (int i = 0; i < kThreads; ++i)
        hosts.push_back(std::async(std::launch::async, hostCalls, "T" + std::to_string(i), 500));
    // Each notice waits for its callback, which calls into the library itself.
    int rounds = 0;
    while (std::any_of(hosts.begin(), hosts.end(), [](std::future<void>& host) {
        return host.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    })) {
        const std::string sn = "N" + std::to_string(rounds++);
        const std::pair<std::string, std::string> steps[] = {
            {"arrive " + sn, "+" + sn}, {"event 2 e" + sn, "2:e" + sn}, {"lose " + sn, "-" + sn}};
        for (const auto& step : steps) {
            ASSERT_TRUE(session.command(step.first));
            if (!notices.waitFor(step.second, 1, 60000)) {
                ADD_FAILURE() << "no callback for \"" << step.first
                              << "\" within 60 s: a deadlock?";
                std::fflush(stdout);
                std::_Exit(1);  // the threads that hang cannot be joined
            }
        }
    }
    // The lookups of lost devices are the only failures, each with its line.
    EXPECT_EQ(log.at(QtCriticalMsg),
              std::vector<std::string>(
                  rounds, "Omnivue API:cannot get device info: GetDeviceInfo: device not found"));
}

TEST_F(Load, SoakManyCallsInOneSessionLeaveNothingBehind) {
    hostCalls("T0", 300);  // warm-up
    const std::set<std::string> ipc = testsupport::ipcObjects();
    // Start-up's short-lived threads of the system's pool are gone before the baseline.
    const testsupport::Resources before = testsupport::steadyResources(kWindows ? 6000 : 0);
    hostCalls("T0", repetitions("CALLS", 15000) / 10);  // ten calls a round
    expectBackToBaseline(before, ipc);
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST(Soak, InitExitCyclesLeaveNothingBehind) {
    testsupport::LogCapture log;
    const int threadsWithoutLibrary = testsupport::ownResources().threads;
    std::set<std::string> ipc;
    testsupport::Resources before;
    const int cycles = repetitions("CYCLES", kWindows ? 200 : 40);  // Windows lost handles by ones
    for (int i = -5; i < cycles; ++i) {                             // five to warm up
        if (i == 0) {
            ipc = testsupport::ipcObjects();
            // Once the last warm-up's threads are gone and the system's pool has let its idle
            // threads and their handles go, so that the baseline holds nothing passing.
            testsupport::ownResources(threadsWithoutLibrary);
            before = testsupport::steadyResources(kWindows ? 6000 : 0);
        }
        testsupport::LibrarySession session;
        bool enabled = false;
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        ASSERT_EQ(crop_assist_is_enabled("CAM1", &enabled), 0) << log.dump();
        ASSERT_TRUE(session.exitCleanly());
        // Qt 5's process watch on Windows may still fire while the API thread ends, and says so.
        const auto warnings = log.at(QtWarningMsg);
        const auto qtLate = std::count(warnings.begin(), warnings.end(),
                                       "QWinEventNotifier: no event dispatcher, application "
                                       "shutting down? Cannot deliver event.");
        ASSERT_EQ(warnings.size() - qtLate + log.at(QtCriticalMsg).size(), 0u) << log.dump();
        log.clear();
    }
    expectBackToBaseline(before, ipc);
}
