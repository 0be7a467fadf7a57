// cropassist_demo: one session with the crop-assist library from start to end, as a host
// would run it. It starts the service, lists the devices, reads and changes their settings,
// hands over a synthetic frame and prints the regions found, shows the notices that arrive
// through the callbacks, exits, and writes a picture of the frame with the regions drawn.
#include "democontrol.h"
#include "demoscene.h"
#include "output.h"
#include "picture.h"
#include "values.h"

#include "crop_assist.hpp"

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cropassist;
using crop_assist::Session;

void heading(const char* text) {
    std::printf("\n== %s\n", text);
}

// Prints a failed call with the library's explanation; returns whether the call succeeded.
bool check(const crop_assist::Status& status, const char* what) {
    if (!status.ok()) {
        std::printf("   %s failed: %d %s (%s)\n", what, status.code(), status.name(),
                    status.meaning());
    }
    return status.ok();
}

std::string modeText(TellanMode mode) {
    const char* name = modeName(mode);
    return std::to_string(mode) + (*name ? std::string(" (") + name + ")" : "");
}

// The notices the callbacks receive, on the library's listener thread.
class NoticeLog {
public:
    void add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    // Waits until at least `count` notices have come, or `timeout` has passed.
    std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
        return lines_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

bool showSettings(const Session& session, const std::string& sn) {
    const auto enabled = session.isEnabled(sn);
    const auto mode = session.mode(sn);
    const auto effective = session.effectiveMode(sn);
    const auto zoom = session.isAutoZoomEnabled(sn);
    const auto adjusting = session.isAdjustmentActive(sn);
    const auto home = session.homePoint(sn);
    if (!check(enabled, "is_enabled") || !check(mode, "get_mode") ||
        !check(effective, "get_mode_effective") || !check(zoom, "is_auto_zoom_enabled") ||
        !check(adjusting, "is_adjustment_active") || !check(home, "get_cur_home_pt")) {
        return false;
    }
    std::printf(
        "   %s: crop assist %s, mode %s, in effect %s, auto zoom %s, adjusting %s, "
        "home pan %s tilt %s\n",
        sn.c_str(), *enabled ? "on" : "off", modeText(*mode).c_str(), modeText(*effective).c_str(),
        *zoom ? "on" : "off", *adjusting ? "yes" : "no", formatFloat(home->pan).c_str(),
        formatFloat(home->tilt).c_str());
    return true;
}

bool changeSettings(const Session& session, const std::string& sn) {
    std::string supported;
    TellanMode chosen = TELLAN_MODE_FRAMING;
    for (const TellanMode mode :
         {TELLAN_MODE_OFF, TELLAN_MODE_FRAMING, TELLAN_MODE_GROUP, TELLAN_MODE_SPEAKER}) {
        const auto r = session.isModeSupported(sn, mode);
        if (!check(r, "is_mode_supported")) {
            return false;
        }
        if (*r) {
            supported += " " + modeText(mode);
            chosen = mode;  // the last supported one
        }
    }
    std::printf("   %s supports:%s\n", sn.c_str(), supported.c_str());
    std::printf("   setting: crop assist on, mode %s, auto zoom on, home pan 0.25 tilt -0.1\n",
                modeText(chosen).c_str());
    return check(session.setEnabled(sn, true), "set_enabled") &&
           check(session.setMode(sn, chosen), "set_mode") &&
           check(session.setAutoZoomEnabled(sn, true), "set_auto_zoom_enabled") &&
           check(session.setHomePoint(sn, 0.25f, -0.1f), "set_home_pt") &&
           showSettings(session, sn);
}

void printRegions(const std::vector<crop_assist::Roi>& rois) {
    for (const auto& roi : rois) {
        std::printf("   x %s  y %s  width %s  height %s\n", formatFloat(roi.x).c_str(),
                    formatFloat(roi.y).c_str(), formatFloat(roi.width).c_str(),
                    formatFloat(roi.height).c_str());
    }
}

struct DemoOptions {
    std::string picture = "cropassist-demo.png";
    bool verbose = false;
};

int runDemo(const DemoOptions& options) {
    if (!options.verbose && qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) {
        // The library's debug and info lines would interleave with the demo's own account.
        qputenv("QT_LOGGING_RULES", QByteArray("*.debug=false;*.info=false"));
    }
    // The stand-in service opens a control channel under this name; the demo uses it below to
    // make the service send notices. Unique per process, so two demos do not meet.
    const std::string controlName =
        "CropAssistDemo_" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    setControlNameForStartedServices(controlName);

    // Before the session: the callbacks that write to it run until the session has ended.
    NoticeLog notices;
    heading("Starting the service from the library's folder (crop_assist_init)");
    auto session = std::make_unique<Session>(Session::Mode::Start);
    if (!check(session->status(), "init")) {
        return session->status().code();
    }
    std::printf("   started; connected: %s\n", session->connected() ? "yes" : "no");

    session->onDeviceConnected([&](const std::string& sn) { notices.add("arrived " + sn); });
    session->onDeviceDisconnected([&](const std::string& sn) { notices.add("lost " + sn); });
    session->onDeviceEvent([&](int event, const std::string& text) {
        notices.add("event " + std::to_string(event) + ": " + text);
    });

    heading("Devices (crop_assist_get_devices)");
    // The service announces its devices right after the connection is made; give the
    // announcements a moment to arrive.
    auto devices = session->devices();
    for (int tries = 0; devices.ok() && devices->empty() && tries < 50; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        devices = session->devices();
    }
    if (!check(devices, "get_devices") || devices->empty()) {
        std::printf("   no devices announced\n");
        return devices.ok() ? CROP_ASSIST_FAILURE : devices.code();
    }
    for (const auto& device : *devices) {
        std::printf("   %-6s %-24s %s\n", device.sn.c_str(), device.name.c_str(),
                    device.id.c_str());
    }
    const std::string first = devices->front().sn;
    const auto info = session->deviceInfo(first);
    if (check(info, "get_device_info")) {
        std::printf("   crop_assist_get_device_info(\"%s\"): name \"%s\", id \"%s\"\n",
                    first.c_str(), info->name.c_str(), info->id.c_str());
    }

    heading("Settings, before and after a change");
    for (const auto& device : *devices) {
        if (!showSettings(*session, device.sn)) {
            return CROP_ASSIST_FAILURE;
        }
    }
    if (!changeSettings(*session, first)) {
        return CROP_ASSIST_FAILURE;
    }
    const auto upload = session->isUploadCrashReportsEnabled();
    if (check(upload, "is_upload_crash_reports_enabled") &&
        check(session->setUploadCrashReportsEnabled(!*upload),
              "set_upload_crash_reports_enabled")) {
        std::printf("   crash-report upload: %s, now %s\n", *upload ? "on" : "off",
                    *session->isUploadCrashReportsEnabled() ? "on" : "off");
    }

    heading("Regions of interest (crop_assist_get_frame_rois)");
    const DemoScene scene = makeDemoScene(640, 480);
    std::printf(
        "   a %ux%u YUYV frame with a white rectangle, a yellow disk and a cyan "
        "triangle\n",
        scene.width, scene.height);
    const auto rois =
        session->frameRois(first, scene.yuyv.data(), scene.width, scene.height, TELLAN_PIXFMT_YUYV);
    if (!check(rois, "get_frame_rois")) {
        return rois.code();
    }
    std::printf("   %zu regions found in the frame:\n", rois->size());
    printRegions(*rois);
    const auto last = session->lastFrameRois(first);
    if (check(last, "get_last_frame_rois")) {
        std::printf("   crop_assist_get_last_frame_rois(\"%s\"): %zu regions\n", first.c_str(),
                    last->size());
    }

    heading("Notices through the callbacks");
    // Arrivals announced at connect may already be here.
    const std::size_t before = notices.waitFor(0, std::chrono::milliseconds(0)).size();
    DemoControl control(controlName, 5000);
    const std::vector<std::string> script = {"arrive DEMO9", "event 2 framing adjusted",
                                             "lose DEMO9"};
    if (control.connected()) {
        std::printf(
            "   asking the stand-in service to announce DEMO9, raise an event and lose "
            "DEMO9\n");
        for (const std::string& line : script) {
            const std::string answer = control.command(line);
            if (answer.compare(0, 2, "ok") != 0) {
                std::printf("   control \"%s\": %s\n", line.c_str(), answer.c_str());
            }
        }
    } else {
        std::printf("   (no control channel \"%s\": only notices the service sends by itself)\n",
                    controlName.c_str());
    }
    const std::size_t expected = before + (control.connected() ? script.size() : 0);
    const auto received = notices.waitFor(expected, std::chrono::seconds(5));
    std::printf("   %zu notices received:\n", received.size());
    for (const std::string& line : received) {
        std::printf("   %s\n", line.c_str());
    }

    heading("Exit (crop_assist_exit)");
    // The picture is drawn from the copies the companion made, which outlive the session.
    RgbImage picture =
        rgbFromPacked422(scene.yuyv.data(), scene.width, scene.height, TELLAN_PIXFMT_YUYV);
    for (const auto& roi : *rois) {
        drawOutline(picture, roi.x, roi.y, roi.width, roi.height, Rgb{230, 30, 30});
    }
    session.reset();  // crop_assist_exit: disconnects and stops the service init started
    std::printf("   done; connected: %s\n", crop_assist_is_initialized() ? "yes" : "no");

    std::string error;
    if (!writePng(options.picture, picture, &error)) {
        std::printf("\n%s\n", error.c_str());
        return CROP_ASSIST_FAILURE;
    }
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(options.picture, ignored);
    std::printf("\nPicture of the frame with the %zu regions outlined in red: %s\n", rois->size(),
                (ignored ? options.picture : absolute.string()).c_str());
    return received.size() >= expected && rois->size() == scene.shapes.size() ? 0
                                                                              : CROP_ASSIST_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
    DemoOptions options;
    for (int i = 1; i < argc; ++i) {
        if ((std::strcmp(argv[i], "--output") == 0 || std::strcmp(argv[i], "-o") == 0) &&
            i + 1 < argc) {
            options.picture = argv[++i];
        } else if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
            options.verbose = true;
        } else {
            std::printf(
                "Usage: cropassist_demo [--output PICTURE.png] [--verbose]\n\n"
                "Runs one session with the crop-assist library against the service in the\n"
                "library's folder and writes a picture of the demo frame with the regions found\n"
                "(default: cropassist-demo.png in the current folder). --verbose also shows the\n"
                "library's debug and info log lines.\n");
            return std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0
                       ? 0
                       : cropassist::kUsageStatus;
        }
    }
    return runDemo(options);
}
