// Running programs for the suites: the stand-in service (standalone, for the life of an object)
// with a client of its control channel, and any program run to its end. All of it blocks and
// needs no Qt event loop.
#pragma once

#include <gtest/gtest.h>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

class QLocalSocket;

namespace testsupport {

// Full path of the built OmnivueService.exe in the build's output folder.
std::string serviceExecutablePath();

// Sets an environment variable for its lifetime (programs started meanwhile inherit it).
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name), previous(qgetenv(name)) {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnv() { previous.isNull() ? qunsetenv(name) : qputenv(name, previous); }
    const char* name;
    QByteArray previous;
};

// A client of a running service's control channel, connected within 10 s.
class ServiceControl {
public:
    explicit ServiceControl(const std::string& name);
    ~ServiceControl();
    // One command line and its answer line ("ok", "ok <data>" or "err <text>"); a local failure
    // comes back as "err " and its description.
    std::string command(const std::string& line);
    ::testing::AssertionResult ok(const std::string& line);  // answered "ok" or "ok <data>"
    // The request frames the service has received of `type` (all for ""), oldest first.
    std::vector<std::string> requests(const std::string& type = {});
    bool waitForCallbackConnections(int count);

private:
    std::unique_ptr<QLocalSocket> socket_;
};

// OmnivueService.exe --standalone with an optional inline scenario. The constructor waits until
// it has printed its names (its record is published and its servers listen); the destructor ends
// it politely, then hard.
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
    std::string describe() const { return "status " + std::to_string(status) + "\n" + out + err; }
};
ChildRun runChild(const QString& program, const QStringList& arguments,
                  const QByteArray& input = {}, const QString& workingDirectory = {});

}  // namespace testsupport
