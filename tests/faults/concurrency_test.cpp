// Many host threads at once against the real stand-in service: eight threads make mixed calls,
// each on a camera of its own so that every answer is known, while the service pushes notices
// whose callbacks call back into the library. Nothing may deadlock and every result must be
// right.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "testframes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using testsupport::LibrarySession;
using testsupport::LogCapture;

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 10000;

// Arrays and strings handed out by the library are replaced by the next call of the same
// function from any thread, so a host serialises those calls and their reading itself.
std::mutex hostStorage;

// The first wrong result of a group of calls, and how many there were.
class Faults {
public:
    void add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_++ == 0)
            first_ = what;
    }
    ::testing::AssertionResult none() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << count_ << " wrong results, the first: " << first_;
    }

private:
    mutable std::mutex mutex_;
    int count_ = 0;
    std::string first_;
};

// What the callbacks saw; they run on the listener thread and report each notice once done.
struct CallbackLog {
    Faults faults;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> done;

    void finished(const std::string& notice) {
        std::lock_guard<std::mutex> lock(mutex);
        done.push_back(notice);
        changed.notify_all();
    }
    bool waitFor(const std::string& notice) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60),
                                [&] { return !done.empty() && done.back() == notice; });
    }
};

CallbackLog callbacks;

// An arrival is fetched by the lookup and found.
void onConnected(const char* device) {
    const std::string sn = device;
    {
        std::lock_guard<std::mutex> lock(hostStorage);
        TellanDeviceInfo info{};
        const int result = crop_assist_get_device_info(device, &info);
        if (result != 0 || info.sn != sn || std::string(info.name) != "Omnivue Camera " + sn)
            callbacks.faults.add("lookup of arrived " + sn + " gave " + std::to_string(result));
    }
    callbacks.finished("+" + sn);
}

// A loss has left the registry before the host hears of it.
void onDisconnected(const char* device) {
    const std::string sn = device;
    {
        std::lock_guard<std::mutex> lock(hostStorage);
        TellanDeviceInfo info{};
        const int result = crop_assist_get_device_info(device, &info);
        if (result != CROP_ASSIST_DEVICE_NOT_FOUND)
            callbacks.faults.add("lookup of lost " + sn + " gave " + std::to_string(result));
    }
    callbacks.finished("-" + sn);
}

void onEvent(int code, const char* text) {
    bool enabled = false;
    const int result = crop_assist_is_enabled("CB", &enabled);
    if (result != 0 || !enabled)
        callbacks.faults.add("query from event callback gave " + std::to_string(result));
    callbacks.finished(std::to_string(code) + ":" + text);
}

// A 32 x 16 YUYV frame, dark but for one bright 8 x 4 block at (16, 8).
std::vector<uint8_t> smallFrame() {
    return testsupport::packedFrame(32, 16, TELLAN_PIXFMT_YUYV, {{16, 8, 8, 4}});
}

// One host thread's calls on camera `sn`, which no other thread changes; returns how many gave
// the right answer (each call is checked once).
int hostThread(const std::string& sn, Faults& faults) {
    const char* const device = sn.c_str();
    const std::vector<uint8_t> frame = smallFrame();
    TellanMode mode = TELLAN_MODE_FRAMING;
    bool enabled = true;
    float pan = 0.0f;
    int right = 0;
    const auto check = [&](bool ok, int j, const char* what, int result) {
        if (ok)
            ++right;
        else
            faults.add(sn + " call " + std::to_string(j) + " " + what + " gave " +
                       std::to_string(result));
    };
    for (int j = 0; j < kCallsPerThread; ++j) {
        int result = -1;
        switch (j % 20) {
            case 0:
            case 10:
                mode = static_cast<TellanMode>(j / 10 % 4);
                result = crop_assist_set_mode(device, mode);
                check(result == 0, j, "set_mode", result);
                break;
            case 1:
            case 11: {
                TellanMode got = TELLAN_MODE_INVALID;
                result = crop_assist_get_mode(device, &got);
                check(result == 0 && got == mode, j, "get_mode", result);
                break;
            }
            case 2:
            case 12:
                enabled = j / 10 % 3 != 0;
                result = crop_assist_set_enabled(device, enabled);
                check(result == 0, j, "set_enabled", result);
                break;
            case 3:
            case 13: {
                bool got = !enabled;
                result = crop_assist_is_enabled(device, &got);
                check(result == 0 && got == enabled, j, "is_enabled", result);
                break;
            }
            case 4:
            case 14:
                pan = static_cast<float>(j) / 8.0f;
                result = crop_assist_set_home_pt(device, pan, -pan);
                check(result == 0, j, "set_home_pt", result);
                break;
            case 5:
            case 15: {
                float gotPan = 0.5f, gotTilt = 0.5f;
                result = crop_assist_get_cur_home_pt(device, &gotPan, &gotTilt);
                check(result == 0 && gotPan == pan && gotTilt == -pan, j, "get_cur_home_pt",
                      result);
                break;
            }
            case 6:
            case 16: {
                TellanMode got = TELLAN_MODE_INVALID;
                result = crop_assist_get_mode_effective(device, &got);
                check(result == 0 && got == (enabled ? mode : TELLAN_MODE_OFF), j,
                      "get_mode_effective", result);
                break;
            }
            case 7: {
                std::lock_guard<std::mutex> lock(hostStorage);
                const TellanROI* rois = nullptr;
                int count = 0;
                result = crop_assist_get_frame_rois(
                    device, TellanFrame{frame.data(), 32, 16, TELLAN_PIXFMT_YUYV}, &rois, &count);
                check(result == 0 && count == 1 && rois[0].x == 16.0f && rois[0].height == 4.0f, j,
                      "get_frame_rois", result);
                break;
            }
            case 8:
            case 18: {
                std::lock_guard<std::mutex> lock(hostStorage);
                TellanDeviceInfo info{};
                result = crop_assist_get_device_info(device, &info);
                check(result == 0 && info.sn == sn, j, "get_device_info", result);
                break;
            }
            case 9: {
                std::lock_guard<std::mutex> lock(hostStorage);
                const TellanDeviceInfo* devices = nullptr;
                int count = 0;
                result = crop_assist_get_devices(&devices, &count);
                bool mine = false;
                for (int i = 0; i < count; ++i)
                    mine |= devices[i].sn == sn;
                check(result == 0 && mine, j, "get_devices", result);
                break;
            }
            case 17: {
                bool supported = false;
                result = crop_assist_is_mode_supported(device, TELLAN_MODE_SPEAKER, &supported);
                check(result == 0 && supported, j, "is_mode_supported", result);
                break;
            }
            default:
                // Setters take no lock and may run beside any call.
                result = crop_assist_set_device_event_callback(&onEvent);
                check(result == 0 && crop_assist_is_initialized(), j, "set callback", result);
                break;
        }
    }
    return right;
}

std::string scenario() {
    std::string devices = R"({"sn":"CB","enabled":true})";
    for (int i = 0; i < kThreads; ++i)
        devices += R"(,{"sn":"T)" + std::to_string(i) + R"(","supportedModes":[0,1,2,3]})";
    return R"({"devices":[)" + devices + "]}";
}

}  // namespace

TEST(Concurrency, HostThreadsCallWhileCallbacksCallBack) {
    LogCapture log;
    LibrarySession session(scenario());
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    ASSERT_TRUE(session.waitForCallbackConnections(1));
    ASSERT_EQ(crop_assist_set_device_connected_callback(&onConnected), 0);
    ASSERT_EQ(crop_assist_set_device_disconnected_callback(&onDisconnected), 0);
    ASSERT_EQ(crop_assist_set_device_event_callback(&onEvent), 0);
    // The cameras are announced on the callback connection; the hosts look them up once the
    // registry has them all.
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    for (int i = 0; i < 250 && count < kThreads + 1; ++i) {
        ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
        std::this_thread::sleep_for(std::chrono::milliseconds(count < kThreads + 1 ? 20 : 0));
    }
    ASSERT_EQ(count, kThreads + 1);

    std::vector<Faults> faults(kThreads);
    std::vector<std::future<int>> hosts;
    for (int i = 0; i < kThreads; ++i)
        hosts.push_back(std::async(std::launch::async, hostThread, "T" + std::to_string(i),
                                   std::ref(faults[i])));

    // Notices go on while the hosts call: each waits until its callback, which calls into the
    // library itself, has finished, so that the callback's answer is known.
    int notices = 0;
    const auto hostsDone = [&] {
        for (auto& host : hosts)
            if (host.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return false;
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    for (int k = 0; !hostsDone(); ++k) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the host threads did not finish within 5 minutes: a deadlock?";
            std::fflush(stdout);
            std::_Exit(1);
        }
        const std::string sn = "N" + std::to_string(k);
        for (const std::string& step : {"arrive " + sn, "event 2 e" + sn, "lose " + sn}) {
            ASSERT_TRUE(session.command(step));
            const std::string notice = step[0] == 'a'   ? "+" + sn
                                       : step[0] == 'l' ? "-" + sn
                                                        : "2:e" + sn;
            if (!callbacks.waitFor(notice)) {
                ADD_FAILURE() << "no callback finished for \"" << step
                              << "\" within 60 s: a deadlock?";
                std::fflush(stdout);
                std::_Exit(1);  // the threads that hang cannot be joined
            }
            ++notices;
        }
    }

    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(hosts[i].get(), kCallsPerThread);
        EXPECT_TRUE(faults[i].none()) << "thread " << i;
    }
    EXPECT_TRUE(callbacks.faults.none());
    EXPECT_GE(notices, 3) << "no notice went out while the hosts called";
    // The lookups of lost devices are the only failures, each with its line.
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    EXPECT_EQ(critical.size(), static_cast<size_t>(notices / 3));
    for (const std::string& line : critical)
        ASSERT_EQ(line, "Omnivue API:cannot get device info: GetDeviceInfo: device not found");
    EXPECT_TRUE(session.exitCleanly());
}
