// The recorder's state and its writer: the file a session writes, the thread that writes records
// into it (or the ring mapped in it), and what is written when the library's threads were ended
// rather than joined. recorder.cpp forms the records; this is where they go.
#pragma once

#include "platform.h"
#include "recordformat.h"
#include "ringfile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarn::tellan_api::recording {

// Everything of the one recording of the process. It outlives every session, so that a hook
// racing the end of a session finds it closed rather than gone.
struct State {
    std::mutex mutex;
    bool open = false;
    bool stopping = false;
    // Set while the records themselves cannot be read (pending reallocated, the ring written): a
    // thread ended by the system inside the lock left them whole unless it was there (see
    // writeOutAfterThreadsEnded and putLine).
    std::atomic<bool> changing{false};
    bool pixels = false;
    QFile file;
    QElapsedTimer clock;
    std::vector<Qt::HANDLE> threads;
    // The tables that compact records. Each key views the bytes its entry holds, so that a record
    // is looked up where it lies instead of being copied into a key first.
    // Members of recent records, with their line.
    struct Seen {
        QByteArray members;
        int64_t line;
    };
    std::unordered_map<std::string_view, Seen> seen;
    // The latest call of each function with the same arguments: its line, result and out values.
    struct LastCall {
        QByteArray call;  // kind, function and arguments
        int64_t line;
        std::string result;
        std::string out;
    };
    std::unordered_map<std::string_view, LastCall> calls;
    int64_t lines = 0;  // lines in the file so far
    // The line being formed and a call's changes to its latest one: kept for their memory.
    QByteArray line;
    std::string changed;
    // The latest request and reply as sent and read, with their records (formed inside the lock).
    // A host that polls sends the same request and reads the same reply over and over, and
    // escaping them once more was most of what their records cost.
    struct Exchanged {
        QByteArray text;
        bool handshake = false;
        bool formed = false;
        RecordLine record;
    };
    Exchanged request{{}, false, false, RecordLine("req")};
    Exchanged reply{{}, false, false, RecordLine("rep")};
    QByteArray pending;
    QByteArray header;
    int64_t bufferLimit = 0;
    int64_t droppedPixels = 0;
    int64_t droppedPixelBytes = 0;
    int64_t droppedRecords = 0;
    int64_t droppedRecordBytes = 0;
    // Ring mode: the file is the ring, written in place; no writer thread.
    bool ringMode = false;
    RingFile ring;
    // What the ring keeps beyond itself, by group ("startup", "device:<id>", "setter:<fn>"): each
    // record's line number (their order) and line.
    std::map<QByteArray, std::vector<std::pair<int64_t, QByteArray>>> kept;
    bool inStartup = false;
    QByteArray fetching;  // the device whose info the next request fetches
    QByteArray fetchFor;  // the device whose info the last request fetched
    // Held by pointer: a writer ended by the system (an unload, the end of the process) is left
    // as it is, since a std::thread destroyed while it seems to run ends the process.
    std::unique_ptr<std::thread> writer;
    platform::IdleWake wake;  // the writer's sleep

    ~State();
};

// The one recording of the process.
State& state();

// The recorder's lock. Once the library's threads were ended rather than joined, one of them may
// have been ended inside it (at the end of the process the system ends them wherever they stand):
// then it is only tried, and what it guards is left alone when it is taken.
std::unique_lock<std::mutex> hold(State& s);

// Opens the session's file (a ring of `ringBytes` when not 0); on failure logs why.
bool openSessionFile(State& s, const QString& path, int64_t ringBytes);
// Starts the writer thread, outside ring mode.
void startWriter(State& s);
// Puts one whole record where the writer finds it, or into the ring. Caller holds the lock.
void putLine(State& s, const QByteArray& line);
// Writes what remains and closes the file; the session is closed and `lock` held.
void finishWriting(State& s, std::unique_lock<std::mutex>& lock);

}  // namespace quarn::tellan_api::recording
