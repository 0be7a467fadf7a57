// Running subcommands against the library: one command, the watch loop, or the shell.
#pragma once

#include "commands.h"
#include "output.h"

#include "crop_assist.hpp"

#include <memory>

namespace cropassist {

// The process exit status for a library result code. Statuses only hold 0..255, so a code of
// the service's own outside 1..255 becomes 100 (failure) rather than wrapping to success.
int exitStatus(int code);

// Opens a session: crop_assist_init when `start`, else crop_assist_attach. On failure reports
// it (with a hint when nothing runs to attach to), ends the library again and returns nullptr.
std::unique_ptr<crop_assist::Session> openSession(bool start, Output& output, int* code);

// The service announces its devices on the callback channel right after the library has
// connected, and init and attach return without waiting for those lines. Waits until they have
// come: until some device is known and no arrival has followed for 100 ms, or 500 ms have passed
// without any device (2 s at most in any case). Replaces the connected callback, so call it before
// showNotices.
void awaitAnnouncements(const crop_assist::Session& session);

// Prints device arrivals, losses and events as notices from now on.
void showNotices(const crop_assist::Session& session, Output& output);

int runOnce(const Command& command, const Action& action, bool start, Output& output);
// Until SIGINT or SIGTERM (status 0) or until the connection is lost (status 99).
int runWatch(bool start, Output& output);
// Subcommands from standard input until "quit" or end of input; the status of the last one.
int runShell(bool start, Output& output);

}  // namespace cropassist
