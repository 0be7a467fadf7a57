// Running programs for the suites: the stand-in service (standalone, for the life of an object)
// with a client of its control channel, and any program run to its end as a child process. All
// of it blocks and needs no Qt event loop.
#pragma once

#include <gtest/gtest.h>
#include <QProcess>

#include <memory>
#include <string>
#include <vector>

class QLocalSocket;

namespace testsupport {

// Full path of the built OmnivueService.exe in the build's output folder.
std::string serviceExecutablePath();

// Sets an environment variable for its lifetime (a service started meanwhile inherits it) and
// restores the previous state afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

private:
    QByteArray name_, previous_;
    bool had_;
};

// A client of a running service's control channel, connected within 10 s.
class ServiceControl {
public:
    explicit ServiceControl(const std::string& name);
    ~ServiceControl();
    // One command line; the answer line ("ok", "ok <data>" or "err <text>"). A local failure
    // comes back as "err " and its description, so a failing test prints it.
    std::string command(const std::string& line);
    // Whether the service answered `line` with "ok" (with or without data); the answer otherwise.
    ::testing::AssertionResult ok(const std::string& line);
    // The request frames the service has received of `type` (all for ""), oldest first.
    std::vector<std::string> requests(const std::string& type = {});
    // Waits until the service counts `count` callback connections.
    bool waitForCallbackConnections(int count);

private:
    bool readLine(std::string* line);
    std::unique_ptr<QLocalSocket> socket_;
};

// OmnivueService.exe --standalone with an optional inline scenario, for the life of the object.
// The constructor waits until the service has printed its names (its record is published and
// its servers listen); the destructor ends it politely, then hard.
class StandaloneService {
public:
    explicit StandaloneService(const std::string& scenarioJson = {});
    ~StandaloneService();

    bool ready() const { return !suffix_.empty() && !controlName_.empty(); }
    const std::string& suffix() const { return suffix_; }
    ServiceControl& control();
    QProcess& process() { return process_; }

private:
    QProcess process_;
    std::unique_ptr<ServiceControl> control_;
    std::string suffix_, controlName_;
};

// A program run to its end (bounded, so a hang fails instead of blocking the suite).
struct ChildRun {
    int status = -1;
    bool crashed = false;
    std::string out, err;
    std::string describe() const;
};
ChildRun runChild(const QString& program, const QStringList& arguments,
                  const QByteArray& input = {}, const QString& workingDirectory = {});

}  // namespace testsupport
