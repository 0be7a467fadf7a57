// The lifecycle entry points: init, attach, exit and is-initialized.
#include "crop_assist.h"

#include "apicontroller.h"
#include "apimutex.h"
#include "apithread.h"
#include "callrecording.h"
#include "controllercall.h"
#include "errors.h"
#include "platform.h"

#include <QString>
#include <QtDebug>

#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

using namespace quarn::tellan_api;

namespace {

// Init and attach differ only in the mode and the line for a controller that already exists.
int startWithMode(AttachMode mode, const char* alreadyRunning) noexcept {
    try {
        // Checked before the lock, so that a running library answers at once.
        if (ApiController::exists()) {
            qDebug("%s", alreadyRunning);
            return INIT_OK;
        }
        std::lock_guard<std::recursive_mutex> lock(apiMutex);
        // Another thread may have started the controller while this one waited for the lock;
        // the mode of a live controller must not change (its crash check reads it).
        if (!ApiController::exists())
            ApiController::setAttachMode(mode);
        return startApi();
    } catch (...) {
        // Only resource failures (lock, memory) get here; start-up failures come back as codes.
        return INIT_UNKNOWN_ERROR;
    }
}

void logCannotCheck(const char* cause) noexcept {
    try {
        if (cause)
            qCritical().noquote().nospace() << "Omnivue API:: Cannot check is initialized"
                                            << ": " << QString::fromUtf8(cause);
        else
            qCritical("Omnivue API:: Cannot check is initialized");
    } catch (...) {
    }
}

bool isInitialized() noexcept;

// Exit's hold on the API lock. Under the loader's lock at the end of the process (a plugin's
// static session ended from its unload), a host thread that held it was ended by the system and
// never lets go: exit then goes on without it once a second has passed, as it ends the session's
// threads anyway.
void lockForExit(std::unique_lock<std::recursive_mutex>& lock) {
    if (!platform::threadsCannotBeJoined()) {
        lock.lock();
        return;
    }
    for (int tries = 0; tries < 1000 && !lock.try_lock(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

extern "C" {

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_init(void) {
    // A recorded session begins with the first init or attach and holds its start-up.
    recording::beginSession();
    const int result = startWithMode(AttachMode::Start, "Omnivue already Initialized");
    if (recording::on())
        recording::recordCall("init", 0, result);
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_attach(void) {
    recording::beginSession();
    const int result = startWithMode(AttachMode::Attach, "Omnivue already Attached");
    if (recording::on())
        recording::recordCall("attach", 0, result);
    return result;
}

CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_exit(void) {
    const int64_t began = recording::on() ? recording::now() : -1;
    try {
        std::unique_lock<std::recursive_mutex> lock(apiMutex, std::defer_lock);
        lockForExit(lock);
        qDebug(apiLoaded() ? "Omnivue API unloaded" : "Omnivue API not loaded");
        stopApi();
    } catch (...) {
        // Exit reports nothing: whatever could not be released is released at unload.
    }
    if (began >= 0) {
        recording::recordCall("exit", began, 0);
        recording::endSession();
    }
    return 0;
}

CROP_ASSIST_API bool CROP_ASSIST_CALL crop_assist_is_initialized(void) {
    const int64_t began = recording::on() ? recording::now() : -1;
    const bool result = isInitialized();
    if (began >= 0)
        recording::recordCall("is_initialized", began, result ? 1 : 0);
    return result;
}

}  // extern "C"

namespace {

bool isInitialized() noexcept {
    try {
        std::unique_lock<std::recursive_mutex> lock(apiMutex);
        return callController<bool>(apiThreadExecutor(currentApiThread()),
                                    &ApiController::isConnected);
    } catch (const APIException& e) {
        // Nothing is running: that is an answer, not a failure.
        if (e.code != CROP_ASSIST_NOT_INITIALIZED)
            logCannotCheck(e.what());
    } catch (const std::exception& e) {
        logCannotCheck(e.what());
    } catch (...) {
        logCannotCheck(nullptr);
    }
    return false;
}

}  // namespace
