// The demo's line to the stand-in service's control channel, through which it asks the service
// to announce a device, raise an event and lose the device again, so that the host's callbacks
// have something to report. Only the stand-in has this channel; a real service does not.
#pragma once

#include <memory>
#include <string>

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QLocalSocket;
QT_END_NAMESPACE

namespace cropassist {

class DemoControl {
public:
    // Connects to the control channel `name`, waiting up to `timeoutMs`.
    DemoControl(const std::string& name, int timeoutMs);
    ~DemoControl();
    DemoControl(const DemoControl&) = delete;
    DemoControl& operator=(const DemoControl&) = delete;

    bool connected() const;
    // Sends one command line and returns the answer line ("ok", "ok ...", "err ..."), or
    // "err " and the reason when there is no answer within `timeoutMs`.
    std::string command(const std::string& line, int timeoutMs = 5000);

private:
    std::unique_ptr<QLocalSocket> socket_;
};

// Names the control channel of the services this process starts from now on (they inherit the
// environment variable OMNIVUE_CONTROL).
void setControlNameForStartedServices(const std::string& name);

}  // namespace cropassist
