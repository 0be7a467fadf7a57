// Bring-up and shut-down of the API thread, used by the lifecycle entry points (under apiMutex).
#pragma once

namespace quarn::tellan_api {

// Creates the retained application when the process has none, creates the API thread object if
// needed and starts it; returns INIT_OK, INIT_UNKNOWN_ERROR or the start-up failure code.
int startApi();
// Stops and destroys the API thread (the controller is destroyed on it), releases the retained
// application and clears the stored executable path.
void stopApi();
// Whether anything is loaded: a controller, the API thread object or a retained application.
bool apiLoaded();

}  // namespace quarn::tellan_api
