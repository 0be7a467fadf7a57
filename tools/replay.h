// cropassist replay: a recorded session played again through the library against a service that
// replays the same recording, shown readably (--print), or written with its devices replaced by
// tokens (--scrub).
#pragma once

#include "output.h"

#include "recordreader.h"

#include <QString>

#include <string>
#include <vector>

namespace cropassist {

// `words` are the words after "replay"; `argc` and `argv` are the program's own.
int runReplay(const std::vector<std::string>& words, int argc, char** argv, Output& output);

// The session readably, one line per record.
void printRecording(const quarn::tellan_api::recording::Recording& recording, std::FILE* out);

// The recording as a file again, with device identifiers, names and ids replaced by tokens
// ("device-1", "name-1", "id-1") wherever they occur, the same token for the same value, and
// without pixels.
QByteArray scrubRecording(const quarn::tellan_api::recording::Recording& recording);

// Plays the recording's host calls again and compares; returns 0 when everything is the same,
// else prints the first divergence to `out` and returns 1. `serviceDirectory` holds
// OmnivueService.exe for sessions that attached.
int replaySession(const quarn::tellan_api::recording::Recording& recording, const QString& file,
                  bool keyed, const QString& serviceDirectory, std::FILE* out);

}  // namespace cropassist
