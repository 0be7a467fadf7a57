#include "recording.h"

#include "crop_assist.h"
#include "framesource.h"
#include "rawclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <stdexcept>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

const char kDevice[] = "CAM1";

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

QTemporaryDir& scratch() {
    static QTemporaryDir dir;
    return dir;
}

QString recordingPath() {
    return scratch().filePath(QStringLiteral("bench.jsonl"));
}

// One session, recorded or not, making `batch` calls after a warm-up; returns seconds per call.
// With recording on, `bytesPerCall` gets the recorded bytes per call (the call's own records) and
// the bytes of a call none of whose records repeats an earlier one.
double sessionBatch(bool recorded, int batch, const std::function<void()>& call,
                    double* bytesPerCall, bool ring = false) {
    // Each recorded session into the same file: a session never replaces another's file.
    QFile::remove(recordingPath());
    if (recorded)
        qputenv("CROP_ASSIST_RECORD", recordingPath().toUtf8());
    else
        qunsetenv("CROP_ASSIST_RECORD");
    if (ring)
        qputenv("CROP_ASSIST_RECORD_RING", "4");
    const int result = crop_assist_init();
    qunsetenv("CROP_ASSIST_RECORD");
    qunsetenv("CROP_ASSIST_RECORD_RING");
    if (result != 0) {
        crop_assist_exit();
        throw std::runtime_error("crop_assist_init returned " + std::to_string(result));
    }
    for (int i = 0; i < 10; ++i)
        call();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < batch; ++i)
        call();
    const double perCall = seconds(Clock::now() - start) / batch;
    crop_assist_exit();
    if (recorded && bytesPerCall && !ring) {
        // The records between the warm-up's end and exit, per call.
        QFile file(recordingPath());
        file.open(QIODevice::ReadOnly);
        const QList<QByteArray> lines = file.readAll().split('\n');
        int calls = 0;
        qint64 bytes = 0;
        qint64 first = 0;
        for (const QByteArray& line : lines) {
            if (line.contains("\"k\":\"call\"") && line.contains("\"fn\":\"exit\""))
                break;
            if (calls >= 10 + 1)  // init, then the warm-up
                bytes += line.size() + 1;
            // The first call after init: none of its records repeats another.
            if (calls == 1 && !line.contains("\"k\":\"notice\""))
                first += line.size() + 1;
            if (line.contains("\"k\":\"call\""))
                ++calls;
        }
        bytesPerCall[0] = static_cast<double>(bytes) / batch;
        bytesPerCall[1] = static_cast<double>(first);
    }
    return perCall;
}

// Recording on against off, a session each, side by side in every iteration (who goes first
// rotating): the iteration time is the recorded call's; counter "off" the unrecorded one's.
void onOff(benchmark::State& state, int batch, const std::function<void()>& call,
           const char* bytesCounter, bool ring = false) {
    double offTotal = 0;
    double bytes[2] = {0, 0};
    bool onFirst = false;
    try {
        for (auto _ : state) {
            double on = 0, off = 0;
            for (int k = 0; k < 2; ++k) {
                if ((k == 0) == onFirst)
                    on = sessionBatch(true, batch, call, bytes, ring);
                else
                    off = sessionBatch(false, batch, call, nullptr);
            }
            onFirst = !onFirst;
            offTotal += off;
            state.SetIterationTime(on);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["off"] =
        offTotal / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    if (ring)
        return;
    state.counters[bytesCounter] = bytes[0];
    state.counters[std::string(bytesCounter) + "_new"] = bytes[1];
}

void isEnabled() {
    bool enabled = false;
    if (crop_assist_is_enabled(kDevice, &enabled) != 0)
        throw std::runtime_error("is_enabled failed");
}

// Recorded bytes per query and per frame, from the runs above, for the hour's size.
double bytesPerQuery = 0;
double bytesPerFrame = 0;
double newBytesPerQuery = 0;
double newBytesPerFrame = 0;

void queryOnOff(benchmark::State& state) {
    onOff(state, 200, isEnabled, "bytes_per_query");
    bytesPerQuery = state.counters["bytes_per_query"];
    newBytesPerQuery = state.counters["bytes_per_query_new"];
}

// The same call of a frame each time.
std::function<void()> frameCall() {
    const auto frame = std::make_shared<SyntheticFrame>(makeFrame(640, 480));
    return [frame] {
        const TellanROI* rois = nullptr;
        int count = 0;
        if (crop_assist_get_frame_rois(kDevice, frame->view(), &rois, &count) != 0)
            throw std::runtime_error("get_frame_rois failed");
    };
}

void frameOnOff(benchmark::State& state) {
    onOff(state, 30, frameCall(), "bytes_per_frame");
    bytesPerFrame = state.counters["bytes_per_frame"];
    newBytesPerFrame = state.counters["bytes_per_frame_new"];
}

// The flight recorder: a ring of 4 MiB mapped from its file, written in place.
void queryRingOnOff(benchmark::State& state) {
    onOff(state, 200, isEnabled, "", true);
}

void frameRingOnOff(benchmark::State& state) {
    onOff(state, 30, frameCall(), "", true);
}

// Frames of a moving picture: the synthetic frame with one more bright square that moves on by
// eight pixels from frame to frame, so that every frame has other regions and another hash.
std::vector<SyntheticFrame> movingFrames(int count) {
    std::vector<SyntheticFrame> frames;
    for (int i = 0; i < count; ++i) {
        SyntheticFrame frame = makeFrame(640, 480);
        for (uint32_t y = 400; y < 440; ++y)
            for (uint32_t x = 8u * i; x < 8u * i + 40; ++x)
                frame.pixels[(static_cast<size_t>(y) * 640 + x) * 2] = 235;
        frames.push_back(std::move(frame));
    }
    return frames;
}

// An hour at 10 queries and 30 frames a second, without pixels, from the measured record sizes:
// the queries of recording/query_on_off, and frames of a moving picture, whose regions and hash
// change with every frame (the frames of recording/frame_640x480_on_off are all alike, and
// their records repeat).
void hourSize(benchmark::State& state) {
    if (bytesPerQuery <= 0 || newBytesPerFrame <= 0) {
        state.SkipWithError(
            "needs recording/query_on_off and recording/frame_640x480_on_off first");
        return;
    }
    const std::vector<SyntheticFrame> frames = movingFrames(40);
    size_t next = 0;
    double bytes[2] = {0, 0};
    try {
        for (auto _ : state) {
            next = 0;
            sessionBatch(
                true, 30,
                [&] {
                    const TellanROI* rois = nullptr;
                    int count = 0;
                    if (crop_assist_get_frame_rois(kDevice, frames[next++ % frames.size()].view(),
                                                   &rois, &count) != 0)
                        throw std::runtime_error("get_frame_rois failed");
                },
                bytes);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["bytes_per_moving_frame"] = bytes[0];
    state.counters["hour_kib"] = 3600.0 * (10 * bytesPerQuery + 30 * bytes[0]) / 1024.0;
    // Every query and frame unlike any before: nothing repeated at all.
    state.counters["hour_kib_nothing_repeated"] =
        3600.0 * (10 * newBytesPerQuery + 30 * newBytesPerFrame) / 1024.0;
}

// Writes a recording of `seconds` at 10 queries and 30 frames a second, built from one recorded
// query and one recorded frame (their records repeated with their times moved on).
QString writeScaledRecording(int seconds, int* requests) {
    const QString path = scratch().filePath(QStringLiteral("hour.jsonl"));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const auto record = [&file](qint64 t, int th, const QByteArray& members) {
        file.write("{\"t\":" + QByteArray::number(t) + ",\"th\":" + QByteArray::number(th) + ',' +
                   members + "}\n");
    };
    record(0, 0, R"("k":"header","format":1,"library":"1.0.0","pixels":false,"ringMiB":0)");
    record(1, 1, R"("k":"startup","mode":"attach")");
    record(2, 1, R"("k":"req","text":"{\"body\":\"{s}\",\"type\":\"ahsh\"}")");
    record(3, 1, R"("k":"rep","text":"{\"code\":0,\"err\":\"\",\"reply\":true}")");
    record(4, 1, R"("k":"started","result":0)");
    *requests = 1;
    const QByteArray query = R"("k":"req","text":"{\"body\":\"CAM1\",\"type\":\"isenabled\"}")";
    const QByteArray queryReply = R"("k":"rep","text":"{\"code\":0,\"err\":\"\",\"reply\":true}")";
    const QByteArray frame =
        R"("k":"req","text":"{\"body\":{\"dataname\":\"x\",\"datasize\":614400,\"height\":480,\"pixfmt\":1,\"sn\":\"CAM1\",\"width\":640},\"type\":\"processframe\"}")";
    const QByteArray frameReply =
        R"("k":"rep","text":"{\"code\":0,\"err\":\"\",\"reply\":{\"rois\":[[10,20,30,40],[50,60,70,80],[90,100,110,120]]}}")";
    for (qint64 tick = 0; tick < qint64(seconds) * 40; ++tick) {
        const qint64 t = 10 + tick * 25000;
        const bool isQuery = tick % 4 == 0;
        record(t, 2, isQuery ? query : frame);
        record(t + 100, 2, isQuery ? queryReply : frameReply);
        record(
            t + 120, 3,
            isQuery
                ? QByteArray(
                      R"("k":"call","fn":"is_enabled","args":{"device":"CAM1"},"result":0,"out":{"enabled":true},"began":)") +
                      QByteArray::number(t)
                : QByteArray(
                      R"("k":"call","fn":"get_frame_rois","args":{"device":"CAM1"},"result":0,"out":{},"began":)") +
                      QByteArray::number(t));
        ++*requests;
    }
    record(qint64(seconds) * 1000000 + 20, 3, R"("k":"end")");
    return path;
}

// The stand-in replaying an hour's recording to a client that asks as fast as it can, from the
// service's start to the last answer.
void replayHour(benchmark::State& state) {
    int requests = 0;
    const QString path = writeScaledRecording(3600, &requests);
    QFile hour(path);
    state.counters["file_mib"] = static_cast<double>(hour.size()) / (1 << 20);
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        QProcess service;
        service.start(QDir(QCoreApplication::applicationDirPath()).filePath("OmnivueService.exe"),
                      {"--standalone", "--replay", path});
        QString suffix;
        while (suffix.isEmpty() && service.waitForReadyRead(120000)) {
            while (service.canReadLine()) {
                const QByteArray line = service.readLine().trimmed();
                if (line.startsWith("suffix "))
                    suffix = QString::fromUtf8(line.mid(7));
            }
        }
        RawRequestClient client;
        QString error;
        if (suffix.isEmpty() || !client.connectTo(suffix, &error)) {
            state.SkipWithError(("replaying service: " + error).toStdString().c_str());
            return;
        }
        try {
            client.roundTrip(QStringLiteral("ahsh"), QStringLiteral("{s}"));
            const QJsonObject frame{{"dataname", "x"}, {"datasize", 614400}, {"height", 480},
                                    {"pixfmt", 1},     {"sn", "CAM1"},       {"width", 640}};
            for (int i = 1; i < requests; ++i) {
                if (i % 4 == 1)
                    client.roundTrip(QStringLiteral("isenabled"), QStringLiteral("CAM1"));
                else
                    client.roundTrip(QStringLiteral("processframe"), frame);
            }
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        state.SetIterationTime(seconds(Clock::now() - start));
        service.terminate();
        service.waitForFinished(10000);
    }
    state.counters["requests"] = requests;
}

}  // namespace

void registerRecordingFigures() {
    // Recorded against not recorded: to a file and to a flight recorder, a query and a frame.
    const struct {
        const char* name;
        void (*run)(benchmark::State&);
        int iterations;
    } onOffFigures[] = {
        {"recording/query_on_off", queryOnOff, 20},
        {"recording/frame_640x480_on_off", frameOnOff, 10},
        {"recording/query_ring_on_off", queryRingOnOff, 20},
        {"recording/frame_640x480_ring_on_off", frameRingOnOff, 10},
    };
    for (const auto& figure : onOffFigures)
        benchmark::RegisterBenchmark(figure.name, figure.run)
            ->Unit(benchmark::kMicrosecond)
            ->UseManualTime()
            ->Iterations(figure.iterations)
            ->Repetitions(5);
    benchmark::RegisterBenchmark("recording/hour_size", hourSize)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("recording/replay_one_hour", replayHour)
        ->Unit(benchmark::kSecond)
        ->UseManualTime()
        ->Iterations(1);
}

}  // namespace bench
