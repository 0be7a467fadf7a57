#include "profiling.h"

#include "benchsession.h"
#include "crop_assist.h"
#include "framesource.h"
#include "noticeprobe.h"
#include "queuedclient.h"
#include "rawclient.h"
#include "servicework.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

namespace bench {

namespace {

const char kDevice[] = "CAM1";

// One call path, made ready before the counters are reset.
using Path = std::function<bool()>;

Path makePath(const QString& name, const QString& suffix, std::function<void()>* cleanup) {
    const QJsonValue device(QString::fromLatin1(kDevice));
    if (name == "is_enabled")
        return [] {
            bool enabled = false;
            return crop_assist_is_enabled(kDevice, &enabled) == 0;
        };
    if (name == "get_mode")
        return [] {
            TellanMode mode = TELLAN_MODE_OFF;
            return crop_assist_get_mode(kDevice, &mode) == 0;
        };
    if (name == "get_devices")
        return [] {
            const TellanDeviceInfo* devices = nullptr;
            int count = 0;
            return crop_assist_get_devices(&devices, &count) == 0;
        };
    if (name == "frame_640x480" || name == "frame_1920x1080") {
        auto frame = std::make_shared<SyntheticFrame>(
            name == "frame_640x480" ? makeFrame(640, 480) : makeFrame(1920, 1080));
        return [frame] {
            const TellanROI* rois = nullptr;
            int count = 0;
            return crop_assist_get_frame_rois(kDevice, frame->view(), &rois, &count) == 0;
        };
    }
    if (name == "baseline_a") {
        auto client = std::make_shared<RawRequestClient>();
        QString error;
        if (!client->connectTo(suffix, &error))
            return nullptr;
        return [client, device] {
            return client->roundTrip(QStringLiteral("isenabled"), device).isBool();
        };
    }
    if (name == "baseline_b") {
        auto client = std::make_shared<QueuedRequestClient>();
        QString error;
        if (!client->start(suffix, &error))
            return nullptr;
        *cleanup = [client] { client->stop(); };
        return [client, device] {
            return client->roundTrip(QStringLiteral("isenabled"), device).isBool();
        };
    }
    if (name == "standin_frame_640x480" || name == "standin_frame_1920x1080") {
        auto work = std::make_shared<ServiceWork>();
        const QByteArray request = work->frameRequest(
            name.endsWith("640x480") ? makeFrame(640, 480) : makeFrame(1920, 1080),
            QString::fromLatin1(kDevice));
        if (request.isEmpty())
            return nullptr;
        return [work, request] { return !work->answer(request).isEmpty(); };
    }
    if (name == "notice") {
        auto probe = std::make_shared<NoticeProbe>();
        if (!probe->start())
            return nullptr;
        *cleanup = [probe] { probe->stop(); };
        return [probe] { return probe->notice(BenchSession::shared().control()).count() >= 0; };
    }
    return nullptr;
}

}  // namespace

const char* profileNames() {
    return "is_enabled get_mode get_devices frame_640x480 frame_1920x1080 baseline_a baseline_b "
           "notice standin_frame_640x480 standin_frame_1920x1080";
}

int runProfile(const QString& name, int calls) {
    QString error;
    // The stand-in's own work is measured in-process and needs no session.
    const bool session = !name.startsWith(QLatin1String("standin_"));
    if (session && !BenchSession::shared().ensureStarted(&error)) {
        std::fprintf(stderr, "cannot start the session: %s\n", qPrintable(error));
        return 1;
    }
    int code = 0;
    {
        std::function<void()> cleanup;
        const Path path = makePath(name, BenchSession::shared().suffix(), &cleanup);
        if (!path) {
            std::fprintf(stderr, "unknown or unavailable path \"%s\"; one of: %s\n",
                         qPrintable(name), profileNames());
            code = 2;
        } else {
            try {
                // Warm-up: first-use work (lazy fetches, caches) is not per-call cost.
                for (int i = 0; i < 100 && code == 0; ++i)
                    code = path() ? 0 : 1;
                CALLGRIND_ZERO_STATS;
                for (int i = 0; i < calls && code == 0; ++i)
                    code = path() ? 0 : 1;
                CALLGRIND_DUMP_STATS_AT(qPrintable(name));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s\n", e.what());
                code = 1;
            }
            std::printf("%s: %d calls%s\n", qPrintable(name), calls, code ? " FAILED" : "");
        }
        if (cleanup)
            cleanup();
    }
    BenchSession::shared().stop();
    return code;
}

}  // namespace bench
