// The session recorder: with CROP_ASSIST_RECORD=<file> in the host's environment, the library
// writes what happens from init or attach to exit into that file (docs/recording.md).
//
// Every hook in the library is one test of on(); with recording off nothing else runs. Records
// are formed on the thread where things happen, under one short lock, and a writer thread of the
// recorder's own puts them into the file, so a host never waits for the disk.
#pragma once

#include "crop_assist.h"
#include "recordformat.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>

namespace quarn::tellan_api::recording {

extern std::atomic<bool> active;

inline bool on() noexcept {
    return active.load(std::memory_order_acquire);
}

// Starts recording when CROP_ASSIST_RECORD names a file and no session is being recorded yet.
// Called by init and attach before they do anything else.
void beginSession() noexcept;
// Writes the end record, then the file (or, in ring mode, the ring) and closes it. Called by exit
// after the library has stopped, and at the end of the process for a host that never calls exit.
void endSession() noexcept;

// Microseconds since the recording began.
int64_t now() noexcept;

// Adds a record built by a hook. hostCall adds a call's record with when it began (now()), and
// writes the ring out when `result` is CROP_ASSIST_SERVICE_CRASHED or CROP_ASSIST_NOT_INITIALIZED.
void add(const RecordLine& line) noexcept;
void hostCall(const RecordLine& line, int64_t began, int result) noexcept;

// ---- Hooks ----------------------------------------------------------------------------------
// A frame written on the request socket, without its terminator.
void requestSent(const char* frame, int size, bool rawHandshake = false) noexcept;
void replyRead(const QByteArray& frame) noexcept;
// A notice line without its line feed, recorded as it is handled: the handlers record it once the
// device registry has changed and before the host's callback.
void notice(const char* line, int size) noexcept;
inline void notice(const QByteArray& line) noexcept {
    notice(line.constData(), line.size());
}
void callbackMade(const char* which, const QByteArray& identifier) noexcept;
void eventCallbackMade(int event, const QByteArray& text) noexcept;
void startupBegun(int32_t attachMode) noexcept;
void startupEnded(int32_t result, const char* message) noexcept;
// A service that start-up launched did not let the library connect: still running, ended with
// `exitCode`, or crashed.
void serviceEnded(bool running, bool crashed, int exitCode) noexcept;
void connectionLost(bool crashed) noexcept;
// A frame handed to the service: the hash of `pixels` (`size` bytes, the copy in the frame
// segment); the pixels themselves with CROP_ASSIST_RECORD_PIXELS=1.
void frame(const char* pixels, uint32_t size) noexcept;

}  // namespace quarn::tellan_api::recording
