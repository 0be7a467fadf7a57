// One initialised library for the end-to-end suites: crop_assist_init starts the stand-in service
// with a scenario and a control channel of its own, and the session ends with crop_assist_exit.
// Header-only because it calls the shared library, which the support library does not link.
#pragma once

#include "crop_assist.h"
#include "hostprocess.h"
#include "logcapture.h"
#include "servicecontrol.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Name of the service executable as the process table shows it.
inline const char* serviceProcessName() {
    return "OmnivueService.exe";
}

// A control channel name no other run uses, so a lingering service is never mistaken for ours.
inline std::string uniqueControlName(const std::string& suite) {
    return "OmnivueControl_" + suite + "_" +
           QUuid::createUuid().toString(QUuid::Id128).toStdString();
}

// The recorded request frames of one type, parsed, oldest first.
inline std::vector<QJsonObject> requestsOfType(ServiceControl& control, const QString& type) {
    std::vector<QJsonObject> out;
    for (const std::string& frame : control.requests()) {
        const QJsonObject request =
            QJsonDocument::fromJson(QByteArray::fromStdString(frame)).object();
        if (request.value(QStringLiteral("type")).toString() == type)
            out.push_back(request);
    }
    return out;
}

// Success when the control channel answered `line` with "ok" (with or without data).
inline ::testing::AssertionResult controlOk(ServiceControl& control, const std::string& line) {
    const std::string answer = control.command(line);
    if (answer == "ok" || answer.rfind("ok ", 0) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << line << "\" answered \"" << answer << "\"";
}

// Waits until the service counts `count` callback connections: notices sent before the
// listener has connected would reach nobody, and a service that ends before then makes the
// listener log its failure to connect.
inline bool waitForCallbackConnections(ServiceControl& control, int count, int timeoutMs = 10000) {
    const std::string wanted = " " + std::to_string(count);
    QElapsedTimer clock;
    clock.start();
    do {
        const std::string answer = control.command("clients");
        if (answer.size() > wanted.size() &&
            answer.compare(answer.size() - wanted.size(), wanted.size(), wanted) == 0)
            return true;
        QThread::msleep(20);
    } while (clock.elapsed() < timeoutMs);
    return false;
}

// Success when exactly one critical line was logged and it reads `expected`.
inline ::testing::AssertionResult onlyCriticalLine(const LogCapture& log,
                                                   const std::string& expected) {
    const std::vector<std::string> critical = log.at(QtCriticalMsg);
    if (critical.size() == 1 && critical[0] == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected only the critical line \"" << expected << "\"; the log was:\n"
           << log.dump();
}

class LibrarySession {
public:
    // `scenarioJson` replaces any scenario the environment names; "{}" gives the default cameras.
    explicit LibrarySession(const std::string& scenarioJson = "{}")
        : controlName_(uniqueControlName("integration")) {
        // The service inherits these when init starts it; afterwards they are not needed.
        ScopedEnv control("OMNIVUE_CONTROL", controlName_);
        ScopedEnv scenario("OMNIVUE_SCENARIO_JSON", scenarioJson);
        initResult_ = crop_assist_init();
    }
    ~LibrarySession() { crop_assist_exit(); }
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

    int initResult() const { return initResult_; }

    ServiceControl& control() {
        if (!control_)
            control_ = std::make_unique<ServiceControl>(controlName_);
        return *control_;
    }

    ::testing::AssertionResult command(const std::string& line) {
        return controlOk(control(), line);
    }

    std::vector<QJsonObject> requests(const QString& type) {
        return requestsOfType(control(), type);
    }

    bool waitForCallbackConnections(int count, int timeoutMs = 10000) {
        return testsupport::waitForCallbackConnections(control(), count, timeoutMs);
    }

    // Exits the library; true when the service it started has ended as well.
    bool exitCleanly() {
        control_.reset();
        const int result = crop_assist_exit();
        return result == 0 && waitForNoChildProcess(serviceProcessName(), 5000) == 0;
    }

private:
    std::string controlName_;
    int initResult_ = -1;
    std::unique_ptr<ServiceControl> control_;
};

}  // namespace testsupport
