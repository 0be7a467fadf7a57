#include "apicontroller.h"

namespace quarn::tellan_api {

bool ApiController::serviceCrashedAfterLoss() {
    // Only a process this controller started can have crashed; an attached service never counts.
    if (attachMode() == 0 && serviceProcess.state() != QProcess::NotRunning)
        serviceProcess.waitForFinished(200);
    return serviceCrashed();
}

}  // namespace quarn::tellan_api
