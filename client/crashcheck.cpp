// Telling a lost connection from a crash of the service that the library started.
#include "apicontroller.h"

#include "platform.h"
#include "recorder.h"

namespace quarn::tellan_api {

namespace {

// How long an ending process may take until its end can be collected; it has closed its
// connections already and needs no more than moments.
constexpr int kEndingProcessWaitMs = 1000;

}  // namespace

bool ApiController::serviceCrashedAfterLoss() noexcept {
    // Only a process this controller started can have crashed; an attached service never counts.
    if (attachMode() != AttachMode::Start || serviceProcess.state() == QProcess::NotRunning)
        return serviceCrashed();
    // A service that dropped the connection and runs on is not waited for at all. One that is
    // ending closed its connections before its end could be collected: that is waited for.
    // Should the check itself fail, the loss is reported as it is.
    try {
        const bool ending = platform::processIsEnding(serviceProcess.processId());
        serviceProcess.waitForFinished(ending ? kEndingProcessWaitMs : 0);
        return serviceCrashed();
    } catch (...) {
        return false;
    }
}

void ApiController::noteLoss(APIException& failure) noexcept {
    if (failure.code != CROP_ASSIST_NOT_INITIALIZED)
        return;
    failure.serviceCrashed = serviceCrashedAfterLoss();
    if (recording::on())
        recording::connectionLost(failure.serviceCrashed);
}

}  // namespace quarn::tellan_api
