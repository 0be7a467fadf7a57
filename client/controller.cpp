// ApiController's lifetime: the process-wide slot, construction, destruction and state checks.
#include "apicontroller.h"
#include "platform.h"

#include "errors.h"

#include <QtGlobal>

#include <memory>

namespace quarn::tellan_api {

namespace {

// Owns the process's controller. The pointer is atomic because host threads test it (exists,
// instance) while the API thread fills and empties it.
class ControllerSlot {
public:
    ~ControllerSlot() {
        // After an unload that ended the library's threads the controller is left alone: its
        // destructor would join a listener that cannot finish.
        if (!platform::unloadEndedThreads())
            delete current.exchange(nullptr);
    }

    std::atomic<ApiController*> current{nullptr};
};

ControllerSlot slot;
std::atomic<AttachMode> attachModeValue{AttachMode::Start};

}  // namespace

std::atomic<bool> ApiController::listenerRunning{true};

void ApiController::setAttachMode(AttachMode mode) {
    attachModeValue.store(mode);
}

AttachMode ApiController::attachMode() {
    return attachModeValue.load();
}

void ApiController::create() {
    if (slot.current.load())
        return;
    auto controller = std::make_unique<ApiController>();
    if (attachModeValue.load() == AttachMode::Start)
        controller->startService();
    else
        controller->attachService();
    controller->waitForListenerToSettle();
    slot.current.store(controller.release());
}

ApiController* ApiController::instance() {
    ApiController* controller = slot.current.load();
    if (!controller)
        throw APIException(CROP_ASSIST_NOT_INITIALIZED, "Omnivue API not initialized");
    return controller;
}

bool ApiController::exists() noexcept {
    return slot.current.load() != nullptr;
}

void ApiController::abandon() noexcept {
    slot.current.store(nullptr);
}

void ApiController::destroy() {
    // Empty the slot first, so that instance() already fails while the destructor runs.
    delete slot.current.exchange(nullptr);
}

ApiController::ApiController() {
    requestSocket.setReadBufferSize(kSocketReadAheadBytes);
}

void endProcess(QProcess& process, const std::function<void()>& meanwhile) {
    if (process.state() != QProcess::NotRunning)
        process.terminate();
    if (meanwhile)
        meanwhile();
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(1000);
    }
}

ApiController::~ApiController() {
    // The listener is stopped while the service ends.
    endProcess(serviceProcess, [this] {
        listenerRunning.exchange(false);
        listenerRest.notify();
        if (listenerThread.joinable()) {
            try {
                listenerThread.join();
            } catch (...) {
                if (listenerThread.joinable()) {
                    qWarning("Error joining listener thread - detaching");
                    listenerThread.detach();
                }
            }
        }
    });
    platform::setStartedProcess(0);
}

bool ApiController::isConnected() {
    requestSocket.waitForReadyRead(0);
    return requestSocket.state() == QLocalSocket::ConnectedState;
}

bool ApiController::serviceCrashed() const {
    return attachModeValue.load() == AttachMode::Start &&
           serviceProcess.state() == QProcess::NotRunning &&
           serviceProcess.exitStatus() == QProcess::CrashExit;
}

}  // namespace quarn::tellan_api
