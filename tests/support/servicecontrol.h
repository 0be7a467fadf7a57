// Test helpers for the stand-in service: where its executable is, a client of its control
// channel, and a standalone service that lives as long as a test needs it. All of them block and
// need no Qt event loop (nor a QCoreApplication), so they suit any test thread.
#pragma once

#include <QProcess>

#include <memory>
#include <string>
#include <vector>

class QLocalSocket;

namespace testsupport {

// Full path of the built OmnivueService.exe in the build's output folder.
std::string serviceExecutablePath();

// A client of a running service's control channel.
class ServiceControl {
public:
    // Connects to the control channel `name`, retrying for up to `connectTimeoutMs` while the
    // service comes up.
    explicit ServiceControl(const std::string& name, int connectTimeoutMs = 10000);
    ~ServiceControl();
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    bool connected() const;
    // Sends one command line and returns the answer line without its line feed: "ok",
    // "ok <data>" or "err <text>". A local failure (not connected, no answer in `timeoutMs`)
    // comes back as "err " and its description, so a failing test prints it.
    std::string command(const std::string& line, int timeoutMs = 10000);
    // The request frames the service has received, oldest first (its "requests" command); empty
    // when the command fails.
    std::vector<std::string> requests();

private:
    bool readLine(std::string* line, int timeoutMs);

    std::unique_ptr<QLocalSocket> socket_;
};

// OmnivueService.exe --standalone, for the life of the object. The constructor waits until the
// service has printed its names, which it does once its record is published and its servers
// listen (unless the scenario says otherwise); the destructor ends it with SIGTERM and kills it
// if it lingers. The service also ends by itself if the test process dies (its input closes).
class StandaloneService {
public:
    // `scenarioJson`: an inline scenario, or empty for none (OMNIVUE_SCENARIO* of the test
    // process are not passed on). `controlName`: empty for the service's default name.
    explicit StandaloneService(const std::string& scenarioJson = {},
                               const std::string& controlName = {}, int readyTimeoutMs = 10000);
    ~StandaloneService();
    StandaloneService(const StandaloneService&) = delete;
    StandaloneService& operator=(const StandaloneService&) = delete;

    // True once the service printed its suffix and control name.
    bool ready() const { return ready_; }
    // Why it is not ready (exit code, time-out), for failure messages.
    const std::string& error() const { return error_; }
    const std::string& suffix() const { return suffix_; }
    const std::string& controlName() const { return controlName_; }

    // The control channel, connected on first use.
    ServiceControl& control();

    // Sends SIGTERM and waits up to `timeoutMs`; true when the service has ended.
    bool stop(int timeoutMs = 10000);
    // The process, for its exit code and status once it has ended.
    QProcess& process() { return process_; }

private:
    QProcess process_;
    std::unique_ptr<ServiceControl> control_;
    bool ready_ = false;
    std::string error_;
    std::string suffix_;
    std::string controlName_;
};

}  // namespace testsupport
