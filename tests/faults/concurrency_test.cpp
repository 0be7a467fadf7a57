// Many host threads at once against the real stand-in service: eight threads make mixed calls,
// each on a camera of its own so that every answer is known, while the service pushes notices
// whose callbacks call back into the library. Nothing may deadlock and every result must be right.
#include "session.h"
#include "testframes.h"

#include <future>

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 10000;

// Arrays and strings handed out by the library are replaced by the next call of the same
// function from any thread, so a host serialises those calls and their reading itself.
std::mutex hostStorage;

// The first wrong result of a group of calls, and how many there were.
struct Faults {
    std::mutex mutex;
    int count = 0;
    std::string first;
    void add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (count++ == 0)
            first = what;
    }
};

Faults callbackFaults;

// An arrival is found by a lookup from its callback; a loss has left the registry before the
// host hears of it; an event's callback queries the library.
void onConnected(const char* sn) {
    {
        std::lock_guard<std::mutex> lock(hostStorage);
        TellanDeviceInfo info{};
        const int result = crop_assist_get_device_info(sn, &info);
        if (result != 0 || std::string(info.name) != "Omnivue Camera " + std::string(sn))
            callbackFaults.add("lookup of arrived " + std::string(sn) + " gave " +
                               std::to_string(result));
    }
    testsupport::NoticeLog::connected(sn);
}

void onDisconnected(const char* sn) {
    {
        std::lock_guard<std::mutex> lock(hostStorage);
        TellanDeviceInfo info{};
        if (crop_assist_get_device_info(sn, &info) != CROP_ASSIST_DEVICE_NOT_FOUND)
            callbackFaults.add("lookup of lost " + std::string(sn) + " found it");
    }
    testsupport::NoticeLog::disconnected(sn);
}

void onEvent(int code, const char* text) {
    bool enabled = false;
    if (crop_assist_is_enabled("CB", &enabled) != 0 || !enabled)
        callbackFaults.add("query from the event callback failed");
    testsupport::NoticeLog::event(code, text);
}

// One host thread's calls on camera `sn`, which no other thread changes.
void hostThread(const std::string& sn, Faults& faults) {
    const char* const device = sn.c_str();
    const std::vector<uint8_t> frame =
        testsupport::packedFrame(32, 16, TELLAN_PIXFMT_YUYV, {{16, 8, 8, 4}});
    TellanMode mode = TELLAN_MODE_FRAMING;
    bool enabled = true;
    float pan = 0.0f;
    for (int j = 0; j < kCallsPerThread; ++j) {
        int result = -1;
        bool right = false;
        switch (j % 10) {
            case 0:
                mode = static_cast<TellanMode>(j / 10 % 4);
                right = (result = crop_assist_set_mode(device, mode)) == 0;
                break;
            case 1: {
                TellanMode got = TELLAN_MODE_INVALID;
                right = (result = crop_assist_get_mode(device, &got)) == 0 && got == mode;
                break;
            }
            case 2:
                enabled = j / 10 % 3 != 0;
                right = (result = crop_assist_set_enabled(device, enabled)) == 0;
                break;
            case 3: {
                TellanMode got = TELLAN_MODE_INVALID;
                result = crop_assist_get_mode_effective(device, &got);
                right = result == 0 && got == (enabled ? mode : TELLAN_MODE_OFF);
                break;
            }
            case 4:
                pan = static_cast<float>(j) / 8.0f;
                right = (result = crop_assist_set_home_pt(device, pan, -pan)) == 0;
                break;
            case 5: {
                float gotPan = 0.5f, gotTilt = 0.5f;
                result = crop_assist_get_cur_home_pt(device, &gotPan, &gotTilt);
                right = result == 0 && gotPan == pan && gotTilt == -pan;
                break;
            }
            case 6: {
                std::lock_guard<std::mutex> lock(hostStorage);
                const TellanROI* rois = nullptr;
                int count = 0;
                result = crop_assist_get_frame_rois(
                    device, TellanFrame{frame.data(), 32, 16, TELLAN_PIXFMT_YUYV}, &rois, &count);
                right = result == 0 && count == 1 && rois[0].x == 16.0f && rois[0].height == 4.0f;
                break;
            }
            case 7: {
                std::lock_guard<std::mutex> lock(hostStorage);
                TellanDeviceInfo info{};
                right = (result = crop_assist_get_device_info(device, &info)) == 0 && info.sn == sn;
                break;
            }
            case 8: {
                std::lock_guard<std::mutex> lock(hostStorage);
                const TellanDeviceInfo* devices = nullptr;
                int count = 0;
                result = crop_assist_get_devices(&devices, &count);
                for (int i = 0; i < count; ++i)
                    right |= devices[i].sn == sn;
                break;
            }
            default:
                // Setters take no lock and may run beside any call.
                result = crop_assist_set_device_event_callback(&onEvent);
                right = result == 0 && crop_assist_is_initialized();
                break;
        }
        if (!right)
            faults.add(sn + " call " + std::to_string(j) + " gave " + std::to_string(result));
    }
}

std::string scenario() {
    std::string devices = R"({"sn":"CB","enabled":true})";
    for (int i = 0; i < kThreads; ++i)
        devices += R"(,{"sn":"T)" + std::to_string(i) + R"(","supportedModes":[0,1,2,3]})";
    return R"({"devices":[)" + devices + "]}";
}

class Concurrency : public testsupport::SessionTest {
protected:
    Concurrency() : SessionTest(scenario()) {}
};

}  // namespace

TEST_F(Concurrency, HostThreadsCallWhileCallbacksCallBack) {
    ASSERT_EQ(crop_assist_set_device_connected_callback(&onConnected), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(&onDisconnected), 0);
    ASSERT_EQ(crop_assist_set_device_event_callback(&onEvent), 0);
    // The cameras are announced on the callback connection; the hosts start once all are known.
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    for (int i = 0; i < 250 && count < kThreads + 1; ++i)
        ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
    ASSERT_EQ(count, kThreads + 1);

    std::vector<Faults> faults(kThreads);
    std::vector<std::future<void>> hosts;
    for (int i = 0; i < kThreads; ++i)
        hosts.push_back(std::async(std::launch::async, hostThread, "T" + std::to_string(i),
                                   std::ref(faults[i])));
    // Notices go on while the hosts call; each waits until its callback, which calls into the
    // library itself, has finished.
    int rounds = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (std::any_of(hosts.begin(), hosts.end(), [](std::future<void>& host) {
        return host.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    })) {
        const std::string sn = "N" + std::to_string(rounds++);
        for (const std::string& step : {"arrive " + sn, "event 2 e" + sn, "lose " + sn}) {
            ASSERT_TRUE(session.command(step));
            const std::string notice = step[0] == 'a'   ? "+" + sn
                                       : step[0] == 'l' ? "-" + sn
                                                        : "2:e" + sn;
            if (!notices.waitFor(notice, 1, 60000) || std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "no callback for \"" << step << "\" in time: a deadlock?";
                std::fflush(stdout);
                std::_Exit(1);  // the threads that hang cannot be joined
            }
        }
    }
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(faults[i].count, 0) << "thread " << i << ", the first: " << faults[i].first;
    EXPECT_EQ(callbackFaults.count, 0) << callbackFaults.first;
    EXPECT_GE(rounds, 1) << "no notice went out while the hosts called";
    // The lookups of lost devices are the only failures, each with its line.
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    EXPECT_EQ(critical.size(), size_t(rounds));
    for (const std::string& line : critical)
        ASSERT_EQ(line, "Omnivue API:cannot get device info: GetDeviceInfo: device not found");
}
