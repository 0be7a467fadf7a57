// The ring mode's file: a flight recorder. The file is mapped into memory and each record is
// written into it in place as it is formed, so whatever was recorded up to the moment the process
// dies is in the file, with no writer thread and no exit: the system keeps a mapped file's pages
// when the process ends, however it ends.
//
// Layout, numbers little-endian, the file exactly the size asked for:
//   control block (4096 bytes): magic, version, where the parts are, and the counters below
//   kept area, twice: the header and what a replay needs that the ring may have forgotten (the
//     start-up, each device present with its fetch, the callbacks set), as JSON lines; written
//     into the slot not in use, then made current, so a death mid-write leaves the old one
//   ring: JSON lines, written round; `head` counts every byte ever written into it
// `head` and the record count move only after a record is whole, so a record being written when
// the process died is not counted, and a reader starts at the first line feed after `head`.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

namespace quarn::tellan_api::recording {

class RingFile {
public:
    // Smallest size of a ring file: the control block, two kept areas and a ring.
    static constexpr int64_t kSmallest = 64 << 10;

    // Sizes `file` (open for reading and writing) to `size` bytes, maps it and lays the parts out.
    bool create(QFile& file, int64_t size);
    bool isOpen() const { return base != nullptr; }
    // Writes one whole record (ending with its line feed) after the last.
    void append(const QByteArray& line);
    // Replaces the kept lines. Lines that do not fit are left out from the last.
    void setKept(const QByteArray& lines);
    // Unmaps the file; what was written stays in it.
    void close(QFile& file);

private:
    uchar* base = nullptr;
    int64_t keptCapacity = 0;
    int64_t ringSize = 0;
    uint64_t head = 0;
    uint64_t records = 0;
    int slot = 0;
};

// Whether `bytes` begin as a ring file does.
bool isRingFile(const QByteArray& bytes);

// The records of a ring file in the order they were formed, as a recording's JSON lines: the
// header, the kept records the ring has forgotten, a "ring" record with the number of records
// forgotten, then the ring's records. Times never go back. False with `error` for a damaged file.
bool ringRecords(const QByteArray& bytes, QByteArray* lines, QString* error);

}  // namespace quarn::tellan_api::recording
