// The callback channel's line handling, apart from the socket: the listener appends whatever it
// reads to one buffer and hands it here, so any split of the stream into reads behaves the same.
#pragma once

#include <QByteArray>

namespace quarn::tellan_api {

class ApiController;

// Handles every complete line at the front of `buffer`, in order, and leaves a partial one.
// Stops early, leaving the rest, once ApiController::listenerRunning is cleared. The first
// `searched` bytes are known to hold no line feed (the partial line left by the last call), so
// a long line is not searched again with every read that adds to it.
void dispatchCallbackLines(ApiController& controller, QByteArray& buffer, int searched = 0);

}  // namespace quarn::tellan_api
