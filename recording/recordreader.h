// Reads a session recording: checks its header and each record, and tells where a cut-off
// recording ends. One implementation for the stand-in service and the cropassist tool.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

namespace quarn::tellan_api::recording {

// One record and where it stands in the file.
struct Record {
    QString kind;    // "k"
    int64_t time;    // "t": microseconds since the recording began
    int thread;      // "th": the recording's own number of the thread
    int line;        // 1-based
    int64_t offset;  // byte offset of the line
    QJsonObject fields;
};

struct Recording {
    QJsonObject header;
    std::vector<Record> records;  // the header's record excluded
    // In a ring's records, how many come before its "ring" record: kept from before what the
    // ring holds (the start-up, the devices present, the callbacks set), so they are not in the
    // order of the requests that follow.
    int keptRecords = -1;
    // Empty when the recording ends with its end record; else why it ends where it does (a
    // cut-off last line, or no end record), with the position.
    QString truncation;
};

// Parses `bytes`: JSON lines, or a ring file (read as the lines it holds, in order). A damaged
// record (a whole line that is not a JSON object with a kind, time and thread), a missing or
// unknown header, or a newer format version stops the reading: the result is false and `error`
// names the line and byte offset. A last line without its line feed is what a crash leaves: the
// records before it are returned and `truncation` says so.
bool parseRecording(const QByteArray& bytes, Recording* recording, QString* error);

// Reads the file `path` and parses it as above.
bool readRecording(const QString& path, Recording* recording, QString* error);

}  // namespace quarn::tellan_api::recording
