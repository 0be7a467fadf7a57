#include "session.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace cropassist {

int exitStatus(int code) {
    return code >= 0 && code <= 255 ? code : CROP_ASSIST_FAILURE;
}

std::unique_ptr<crop_assist::Session> openSession(bool start, Output& output, int* code) {
    using Mode = crop_assist::Session::Mode;
    auto session = std::make_unique<crop_assist::Session>(start ? Mode::Start : Mode::Attach);
    *code = session->status().code();
    if (session->status().ok()) {
        return session;
    }
    output.report(Report{start ? "init" : "attach", {}, *code, {}});
    if (!start && *code == CROP_ASSIST_DEVICE_NOT_FOUND && !output.json()) {
        std::fputs(
            "cropassist: is OmnivueService.exe running? --start starts one for the command.\n",
            stderr);
    }
    return nullptr;  // the session's end calls crop_assist_exit, which a failed start needs
}

void awaitAnnouncements(const crop_assist::Session& session) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    auto arrivals = std::make_shared<std::atomic<int>>(0);
    session.onDeviceConnected([arrivals](const std::string&) { ++*arrivals; });
    const auto start = Clock::now();
    auto lastChange = start;
    int seen = 0;
    bool known = false;
    while (Clock::now() - start < milliseconds(2000)) {
        if (arrivals->load() != seen) {
            seen = arrivals->load();
            lastChange = Clock::now();
        }
        // Arrivals read before the callback was set show only in the listing.
        if (!known) {
            const auto devices = session.devices();
            known = seen > 0 || (devices.ok() && !devices->empty());
        }
        const auto quiet = Clock::now() - lastChange;
        if (known ? quiet >= milliseconds(100) : Clock::now() - start >= milliseconds(500)) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    session.onDeviceConnected(nullptr);
}

void showNotices(const crop_assist::Session& session, Output& output) {
    session.onDeviceConnected([&output](const std::string& sn) {
        output.notice("arrived", {{"device", sn}});
    });
    session.onDeviceDisconnected([&output](const std::string& sn) {
        output.notice("lost", {{"device", sn}});
    });
    session.onDeviceEvent([&output](int event, const std::string& text) {
        output.notice("event", {{"event", event}, {"text", text}});
    });
}

int runOnce(const Command& command, const Action& action, bool start, Output& output) {
    int code = 0;
    const auto session = openSession(start, output, &code);
    if (!session) {
        return exitStatus(code);
    }
    if (command.readsRegistry) {
        awaitAnnouncements(*session);
    }
    const Report report = action(*session);
    output.report(report);
    return exitStatus(report.code);
}

}  // namespace cropassist
