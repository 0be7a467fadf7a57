#include "figures.h"

#include "benchsession.h"
#include "crop_assist.h"
#include "framesource.h"
#include "idle.h"
#include "noticeprobe.h"
#include "queuedclient.h"
#include "rawclient.h"
#include "recording.h"
#include "servicework.h"

#include <QFile>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#endif

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

const char kDevice[] = "CAM1";
const QString kIsEnabled = QStringLiteral("isenabled");
const QString kGetMode = QStringLiteral("gmode");
const char kWakes[] = "wakes_per_s";

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void expect(bool condition, const char* failure) {
    if (!condition)
        throw std::runtime_error(failure);
}

// The shared session with the baseline clients that talk to its service.
class Harness {
public:
    // True when the session and its clients are up; otherwise the benchmark is skipped.
    bool ready(benchmark::State& state) {
        QString error;
        if (BenchSession::shared().ensureStarted(&error) && connectClients(&error))
            return true;
        state.SkipWithError(error.toStdString().c_str());
        return false;
    }

    void release() {
        notices_.reset();
        queued_.reset();
        raw_.reset();
        BenchSession::shared().stop();
    }

    RawRequestClient& raw() { return *raw_; }
    QueuedRequestClient& queued() { return *queued_; }
    NoticeProbe& notices() { return *notices_; }

private:
    bool connectClients(QString* error) {
        const QString& suffix = BenchSession::shared().suffix();
        if (!raw_) {
            auto raw = std::make_unique<RawRequestClient>();
            if (!raw->connectTo(suffix, error))
                return false;
            raw_ = std::move(raw);
        }
        if (!queued_) {
            auto queued = std::make_unique<QueuedRequestClient>();
            if (!queued->start(suffix, error))
                return false;
            queued_ = std::move(queued);
        }
        if (!notices_) {
            auto probe = std::make_unique<NoticeProbe>();
            if (!probe->start()) {
                *error = QStringLiteral("cannot set the event callback");
                return false;
            }
            notices_ = std::move(probe);
        }
        return true;
    }

    std::unique_ptr<RawRequestClient> raw_;
    std::unique_ptr<QueuedRequestClient> queued_;
    std::unique_ptr<NoticeProbe> notices_;
};

Harness& harness() {
    static Harness instance;
    return instance;
}

// One timed call: returns its duration, or throws.
using TimedCall = std::function<Clock::duration()>;

TimedCall timed(std::function<void()> call) {
    return [call = std::move(call)] {
        const Clock::time_point start = Clock::now();
        call();
        return Clock::now() - start;
    };
}

// The figure and its baselines run in turn within every iteration, each timed apart, who goes
// first rotating: on a machine whose load changes by the second, only calls made side by side
// can be compared. The iteration time is the figure's; each baseline's mean per call is the
// counter named after it.
void paired(benchmark::State& state, const TimedCall& figure,
            const std::vector<std::pair<std::string, TimedCall>>& baselines) {
    if (!harness().ready(state))
        return;
    std::vector<Clock::duration> totals(baselines.size());
    const size_t turns = baselines.size() + 1;
    size_t first = 0;
    try {
        for (auto _ : state) {
            Clock::duration own{};
            for (size_t k = 0; k < turns; ++k) {
                const size_t who = (first + k) % turns;
                const Clock::duration took = who == 0 ? figure() : baselines[who - 1].second();
                expect(took.count() >= 0, "a call failed");
                (who == 0 ? own : totals[who - 1]) += took;
            }
            first = (first + 1) % turns;
            state.SetIterationTime(seconds(own));
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    for (size_t i = 0; i < baselines.size(); ++i)
        state.counters[baselines[i].first] =
            seconds(totals[i]) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}

TimedCall rawRoundTrip(const QString& type) {
    return timed([type] {
        expect(!harness().raw().roundTrip(type, QString::fromLatin1(kDevice)).isNull(), "reply");
    });
}

TimedCall queuedRoundTrip(const QString& type) {
    return timed([type] {
        expect(!harness().queued().roundTrip(type, QString::fromLatin1(kDevice)).isNull(), "reply");
    });
}

// ---- Start-up and shut-down, each with a service of its own ------------------------------------

void lifecycle(benchmark::State& state) {
    harness().release();
    Clock::duration exits{};
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const int result = crop_assist_init();
        const Clock::time_point ready = Clock::now();
        crop_assist_exit();
        exits += Clock::now() - ready;
        if (result != 0) {
            state.SkipWithError(("crop_assist_init returned " + std::to_string(result)).c_str());
            return;
        }
        state.SetIterationTime(seconds(ready - start));
    }
    state.counters["exit"] = seconds(exits) / static_cast<double>(state.iterations());
}

// ---- Queries -----------------------------------------------------------------------------------

void isEnabled(benchmark::State& state) {
    paired(state, timed([] {
               bool enabled = false;
               expect(crop_assist_is_enabled(kDevice, &enabled) == 0, "is_enabled failed");
           }),
           {{"A", rawRoundTrip(kIsEnabled)}, {"B", queuedRoundTrip(kIsEnabled)}});
}

void getMode(benchmark::State& state) {
    paired(state, timed([] {
               TellanMode mode = TELLAN_MODE_OFF;
               expect(crop_assist_get_mode(kDevice, &mode) == 0, "get_mode failed");
           }),
           {{"B", queuedRoundTrip(kGetMode)}});
}

void getDevices(benchmark::State& state) {
    paired(state, timed([] {
               const TellanDeviceInfo* devices = nullptr;
               int count = 0;
               expect(crop_assist_get_devices(&devices, &count) == 0 && count == 2,
                      "get_devices failed");
           }),
           {{"B", queuedRoundTrip(kIsEnabled)}});
}

// ---- Frames ------------------------------------------------------------------------------------

void frames(benchmark::State& state, uint32_t width, uint32_t height) {
    const auto frame = std::make_shared<SyntheticFrame>(makeFrame(width, height));
    paired(
        state, timed([frame] {
            const TellanROI* rois = nullptr;
            int count = 0;
            expect(crop_assist_get_frame_rois(kDevice, frame->view(), &rois, &count) == 0 &&
                       count == 3,
                   "get_frame_rois failed");
        }),
        {{"by_hand_queued", timed([frame] {
              const size_t regions = harness().queued().run([&](RawRequestClient& client) {
                  return handOverByHand(client, QString::fromLatin1(kDevice), *frame).size();
              });
              expect(regions == 3, "the frame baseline found no regions");
          })},
         {"by_hand", timed([frame] {
              expect(
                  handOverByHand(harness().raw(), QString::fromLatin1(kDevice), *frame).size() == 3,
                  "the frame baseline found no regions");
          })}});
}

// ---- Notices -----------------------------------------------------------------------------------

void notices(benchmark::State& state) {
    paired(state, [] { return harness().notices().notice(BenchSession::shared().control()); },
           {{"raw_line", [] { return NoticeProbe::rawLine(BenchSession::shared().control()); }}});
}

// ---- Resident memory ---------------------------------------------------------------------------

// The resident memory of this process in KiB (VmRSS; the working set on Windows), or -1 where
// the system does not tell.
double residentKib() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return static_cast<double>(counters.WorkingSetSize) / 1024;
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble();
    }
    return -1;
#endif
}

// 100000 calls, mostly queries and one frame in a hundred; resident memory sampled as they go.
void residentMemory(benchmark::State& state) {
    if (!harness().ready(state))
        return;
    const SyntheticFrame frame = makeFrame(640, 480);
    const auto calls = [&](int n) {
        bool enabled = false;
        TellanMode mode = TELLAN_MODE_OFF;
        const TellanDeviceInfo* devices = nullptr;
        const TellanROI* rois = nullptr;
        int count = 0;
        for (int i = 0; i < n; ++i) {
            int result;
            if (i % 100 == 99)
                result = crop_assist_get_frame_rois(kDevice, frame.view(), &rois, &count);
            else if (i % 3 == 0)
                result = crop_assist_is_enabled(kDevice, &enabled);
            else if (i % 3 == 1)
                result = crop_assist_get_mode(kDevice, &mode);
            else
                result = crop_assist_get_devices(&devices, &count);
            expect(result == 0, "a call failed");
        }
    };
    constexpr int kCalls = 100000;
    constexpr int kSamples = 4;
    double first = 0;
    double peak = 0;
    try {
        for (auto _ : state) {
            calls(kCalls / 10);  // warm-up: first-use allocations are not growth
            first = residentKib();
            peak = first;
            for (int sample = 0; sample < kSamples; ++sample) {
                calls(kCalls / kSamples);
                peak = std::max(peak, residentKib());
            }
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const double last = residentKib();
    state.counters["rss_kib"] = last;
    state.counters["growth_kib"] = last - first;
    state.counters["peak_growth_kib"] = peak - first;
}

// ---- A failing call ----------------------------------------------------------------------------

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

// A query after the service has dropped the request connection and runs on: it fails with 99.
// A session of its own, as the drop ends the shared one; its critical lines are not shown.
void failingCall(benchmark::State& state) {
    harness().release();
    BenchSession& session = BenchSession::shared();
    QString error;
    if (!session.ensureStarted(&error) || session.control().command("drop request") != "ok") {
        state.SkipWithError(error.isEmpty() ? "cannot drop the connection"
                                            : error.toStdString().c_str());
        session.stop();
        return;
    }
    const QtMessageHandler previous = qInstallMessageHandler(dropMessage);
    TellanMode mode = TELLAN_MODE_OFF;
    crop_assist_get_mode(kDevice, &mode);  // meets the loss itself
    bool all99 = true;
    for (auto _ : state)
        all99 &= crop_assist_get_mode(kDevice, &mode) == 99;
    qInstallMessageHandler(previous);
    session.stop();
    if (!all99)
        state.SkipWithError("a call did not fail with 99");
}

// ---- The stand-in's own work per request, in-process -------------------------------------------

void standInRequest(benchmark::State& state, const QString& type) {
    ServiceWork work;
    const QByteArray request =
        ServiceWork::requestFrame(type, QJsonValue(QString::fromLatin1(kDevice)));
    for (auto _ : state)
        benchmark::DoNotOptimize(work.answer(request));
}

void standInFrame(benchmark::State& state, uint32_t width, uint32_t height) {
    ServiceWork work;
    const QByteArray request =
        work.frameRequest(makeFrame(width, height), QString::fromLatin1(kDevice));
    if (request.isEmpty()) {
        state.SkipWithError("cannot make the frame segment");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(work.answer(request));
}

benchmark::internal::Benchmark* figure(const std::string& name,
                                       std::function<void(benchmark::State&)> body) {
    return benchmark::RegisterBenchmark(name.c_str(), std::move(body))
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5);
}

const std::pair<uint32_t, uint32_t> kFrameSizes[] = {{640, 480}, {1920, 1080}};

std::string sizeTag(const std::pair<uint32_t, uint32_t>& size) {
    return std::to_string(size.first) + "x" + std::to_string(size.second);
}

}  // namespace

void registerFigures() {
    benchmark::RegisterBenchmark("lifecycle/init_to_ready", lifecycle)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(5);
    figure("query/is_enabled", isEnabled)->UseManualTime();
    figure("query/get_mode", getMode)->UseManualTime();
    figure("query/get_devices", getDevices)->UseManualTime();
    for (const auto& size : kFrameSizes) {
        figure("frame/get_frame_rois_" + sizeTag(size), [size](benchmark::State& s) {
            frames(s, size.first, size.second);
        })->UseManualTime();
    }
    figure("notice/event_to_callback", notices)->UseManualTime();
    benchmark::RegisterBenchmark("memory/rss_over_100000_calls", residentMemory)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    figure("query/failing_after_lost_connection", failingCall);
    figure("standin/isenabled", [](benchmark::State& s) { standInRequest(s, kIsEnabled); });
    figure("standin/gmode", [](benchmark::State& s) { standInRequest(s, kGetMode); });
    for (const auto& size : kFrameSizes) {
        figure("standin/processframe_" + sizeTag(size),
               [size](benchmark::State& s) { standInFrame(s, size.first, size.second); });
    }
    registerRecordingFigures();
    registerIdleFigures();
}

void releaseFigures() {
    harness().release();
}

const std::vector<TableRow>& tableRows() {
    const Source none;
    const auto time = [](const std::string& benchmark) { return Source{benchmark, ""}; };
    const auto mean = [](const std::string& benchmark, const char* counter) {
        return Source{benchmark, counter};
    };
    const auto row = [](const std::string& label, const Source& figure, const Source& baseline,
                        Goal goal, double limit, const Source& standIn) {
        return TableRow{label, figure, baseline, goal, limit, standIn};
    };
    const auto frame = [&](const std::string& tag, const char* baseline, const char* how,
                           Goal goal) {
        const std::string figure = "frame/get_frame_rois_" + tag;
        return row("crop_assist_get_frame_rois " + tag + " (to frame by hand, " + how + ")",
                   time(figure), mean(figure, baseline), goal, 1.2,
                   time("standin/processframe_" + tag));
    };
    static const std::vector<TableRow> rows = {
        row("init to ready (crop_assist_init)", time("lifecycle/init_to_ready"), none,
            Goal::SecondsAtMost, 1.2, none),
        row("exit (crop_assist_exit)", mean("lifecycle/init_to_ready", "exit"), none,
            Goal::SecondsAtMost, 0.2, none),
        row("baseline A: raw socket round trip, isenabled", mean("query/is_enabled", "A"), none,
            Goal::None, 0, time("standin/isenabled")),
        row("baseline B: queued call + future, isenabled (to A)", mean("query/is_enabled", "B"),
            mean("query/is_enabled", "A"), Goal::None, 0, time("standin/isenabled")),
        row("crop_assist_is_enabled (to B)", time("query/is_enabled"),
            mean("query/is_enabled", "B"), Goal::RatioAtMost, 1.25, time("standin/isenabled")),
        row("crop_assist_get_mode (to B, gmode)", time("query/get_mode"),
            mean("query/get_mode", "B"), Goal::RatioAtMost, 1.25, time("standin/gmode")),
        row("crop_assist_get_devices (to B, isenabled)", time("query/get_devices"),
            mean("query/get_devices", "B"), Goal::RatioAtMost, 1.25, none),
        frame("640x480", "by_hand_queued", "queued call", Goal::RatioAtMost),
        frame("640x480", "by_hand", "own thread", Goal::None),
        frame("1920x1080", "by_hand_queued", "queued call", Goal::RatioAtMost),
        frame("1920x1080", "by_hand", "own thread", Goal::None),
        row("event notice to host callback (to raw line read)", time("notice/event_to_callback"),
            mean("notice/event_to_callback", "raw_line"), Goal::RatioAtMost, 1.2, none),
        row("crop_assist_get_mode failing with 99 after a lost connection",
            time("query/failing_after_lost_connection"), none, Goal::SecondsAtMost, 0.001, none),
        row("resident memory growth over 100000 calls",
            mean("memory/rss_over_100000_calls", "growth_kib"), none, Goal::KibAtMost, 256, none),
        row("crop_assist_is_enabled, session recorded (to not recorded)",
            time("recording/query_on_off"), mean("recording/query_on_off", "off"),
            Goal::RatioAtMost, 1.10, none),
        row("crop_assist_get_frame_rois 640x480, session recorded (to not recorded)",
            time("recording/frame_640x480_on_off"), mean("recording/frame_640x480_on_off", "off"),
            Goal::RatioAtMost, 1.05, none),
        row("crop_assist_is_enabled, flight recorder of 4 MiB (to not recorded)",
            time("recording/query_ring_on_off"), mean("recording/query_ring_on_off", "off"),
            Goal::RatioAtMost, 1.10, none),
        row("crop_assist_get_frame_rois 640x480, flight recorder of 4 MiB (to not recorded)",
            time("recording/frame_640x480_ring_on_off"),
            mean("recording/frame_640x480_ring_on_off", "off"), Goal::RatioAtMost, 1.05, none),
        row("recording of one hour, 10 queries/s + 30 moving frames/s, no pixels (KiB)",
            mean("recording/hour_size", "hour_kib"), none, Goal::KibAtMost, 51200, none),
        row("stand-in replaying one hour as fast as asked", time("recording/replay_one_hour"), none,
            Goal::SecondsAtMost, 30, none),
        row("idle wake-ups, recording off, session open", mean("idle/recording_off_open", kWakes),
            none, Goal::RateAtMost, 1, none),
        row("idle wake-ups, recording off, service closed its connections",
            mean("idle/recording_off_service_closed", kWakes), none, Goal::RateAtMost, 1, none),
        row("idle wake-ups, recording on, session open", mean("idle/recording_on_open", kWakes),
            none, Goal::RateAtMost, 5, none),
        row("idle wake-ups, ring recording, session open", mean("idle/recording_ring_open", kWakes),
            none, Goal::RateAtMost, 2, none),
    };
    return rows;
}

}  // namespace bench
