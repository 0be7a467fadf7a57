// Bring-up and shut-down of the API thread, used by the lifecycle entry points (under apiMutex),
// and the accessors through which exported calls reach it.
#pragma once

class FunctorExecutor;

namespace quarn::tellan_api {

class ApiThread;

// Creates the retained application when the process has none, creates the API thread object if
// needed and starts it; returns INIT_OK, INIT_UNKNOWN_ERROR or the start-up failure code.
int startApi();
// Stops and destroys the API thread (the controller is destroyed on it), releases the retained
// application and clears the stored executable path.
void stopApi();
// Whether anything is loaded: a controller, the API thread object or a retained application.
bool apiLoaded();

// The API thread object; APIException CROP_ASSIST_NOT_INITIALIZED "Missing api thread" when there
// is none.
ApiThread* currentApiThread();
// The live executor of `thread`; APIException CROP_ASSIST_NOT_INITIALIZED "Missing thread
// executor" when it is gone or no controller exists.
FunctorExecutor* apiThreadExecutor(ApiThread* thread);

}  // namespace quarn::tellan_api
