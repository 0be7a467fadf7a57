#include "recordwriter.h"

#include "recorder.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

#include <algorithm>
#include <chrono>

namespace quarn::tellan_api::recording {

namespace {

// Records wait at most this long for the writer, so the file is never more than about this far
// behind. A writer with nothing pending sleeps until records come: an idle session costs nothing.
constexpr auto kFlushInterval = std::chrono::milliseconds(250);
// Pending bytes at which the writer is woken at once.
constexpr int kWriteAtBytes = 1 << 20;
void writeAll(State& s, const QByteArray& bytes) {
    if (s.file.write(bytes) != bytes.size())
        qWarning().noquote() << "Recording: cannot write" << s.file.fileName()
                             << s.file.errorString();
}

void writerLoop() {
    State& s = state();
    platform::enterLibraryThread();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        // Sleeps without the lock, in which an unload may park this thread (see platform.h): until
        // records come, then until they have waited the flush interval, or at once for a stop or
        // a full buffer.
        std::chrono::steady_clock::time_point flushAt{};
        bool timing = false;
        while (!(s.stopping || s.pending.size() >= kWriteAtBytes)) {
            int waitMs = -1;
            if (!s.pending.isEmpty()) {
                const auto now = std::chrono::steady_clock::now();
                if (!timing) {
                    flushAt = now + kFlushInterval;
                    timing = true;
                }
                if (now >= flushAt)
                    break;
                waitMs = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(flushAt - now).count());
            }
            lock.unlock();
            s.wake.wait(waitMs);
            lock.lock();
        }
        const bool last = s.stopping;
        QByteArray chunk;
        s.changing.store(true, std::memory_order_relaxed);
        chunk.swap(s.pending);
        s.changing.store(false, std::memory_order_relaxed);
        lock.unlock();
        if (!chunk.isEmpty())
            writeAll(s, chunk);
        lock.lock();
        if (last && s.pending.isEmpty())
            break;
    }
    platform::leaveLibraryThread();
}

// Closes the file here after the writer was ended rather than joined, writing what it had not;
// a ring is in the file already. The caller holds the lock and has closed the session. No log
// line: the log's own lock may have been left taken by an ended thread.
void writeOutHere(State& s) {
    (void)s.writer.release();  // ended: neither joined nor destroyed
    if (s.ringMode) {
        s.ring.close(s.file);
    } else {
        s.file.write(s.pending);
        s.pending.clear();
    }
    s.file.close();
}

// At an unload or the end of the process with a session still recorded. The lock is only tried:
// a thread that holds it now was ended inside it (at the end of the process the system ends them
// wherever they stand, and a flood of notices keeps the listener in it much of the time). The
// records are then written all the same unless that thread was changing them.
void writeOutAfterThreadsEnded() {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
        if ((!lock.owns_lock() && s.changing.load(std::memory_order_relaxed)) || !s.open)
            return;
        s.open = false;
        active.store(false);
        writeOutHere(s);
    } catch (...) {
    }
}

// `path` numbered: "session.jsonl" as "session.<number>.jsonl".
QString numbered(const QString& path, int number) {
    const QFileInfo info(path);
    const QString suffix = info.suffix().isEmpty() ? QString() : '.' + info.suffix();
    return info.dir().filePath(info.completeBaseName() + '.' + QString::number(number) + suffix);
}

// Opens the session's file: `path`, or when a file of that name exists, the first free one of
// its numbered names, so that no session ever replaces another's (a host that recovers from a
// crashed service with exit and init, a host started again after a crash). A name that is not a
// regular file (a pipe, a device) is written as it is.
bool openFile(QFile& file, const QString& path, bool ring) {
    const QIODevice::OpenMode mode =
        (ring ? QIODevice::ReadWrite : QIODevice::WriteOnly | QIODevice::Unbuffered);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        file.setFileName(path);
        return file.open(mode);
    }
    for (int number = 1; number < 100000; ++number) {
        file.setFileName(number == 1 ? path : numbered(path, number));
        // Only a new file: two processes that look at once do not share one.
        if (file.open(mode | QIODevice::NewOnly))
            return true;
        if (!file.exists())
            return false;
    }
    return false;
}

}  // namespace

State& state() {
    static State s;
    return s;
}

std::unique_lock<std::mutex> hold(State& s) {
    if (platform::unloadEndedThreads())
        return std::unique_lock<std::mutex>(s.mutex, std::try_to_lock);
    return std::unique_lock<std::mutex>(s.mutex);
}

bool openSessionFile(State& s, const QString& path, int64_t ringBytes) {
    if (openFile(s.file, path, ringBytes > 0) &&
        (ringBytes == 0 || s.ring.create(s.file, ringBytes)))
        return true;
    qWarning().noquote() << "Recording: cannot write" << s.file.fileName() << s.file.errorString();
    s.file.close();
    return false;
}

void startWriter(State& s) {
    s.stopping = false;
    if (!s.ringMode)
        s.writer = std::make_unique<std::thread>(writerLoop);
    platform::setThreadsEndedHook(&writeOutAfterThreadsEnded);
}

void putLine(State& s, const QByteArray& line) {
    if (s.ringMode) {
        s.changing.store(true, std::memory_order_relaxed);
        s.ring.append(line);
        s.changing.store(false, std::memory_order_relaxed);
        return;
    }
    // The writer sleeps while nothing is pending, and then wants to know; a full buffer cannot
    // wait for the flush.
    if (s.pending.isEmpty() ||
        (s.pending.size() < kWriteAtBytes && s.pending.size() + line.size() >= kWriteAtBytes))
        s.wake.notify();
    // Only a new allocation leaves the pending records unreadable to the write-out at the end of
    // the process (a flood keeps a thread in here much of the time); a copy into room already
    // there moves the size after the bytes.
    if (!s.pending.isDetached() || s.pending.capacity() - s.pending.size() < line.size()) {
        s.changing.store(true, std::memory_order_relaxed);
        s.pending.reserve(std::max(2 * s.pending.size(), s.pending.size() + line.size()));
        s.changing.store(false, std::memory_order_relaxed);
    }
    // Copied, never shared: the recorder forms every line in the same buffer.
    s.pending.append(line.constData(), line.size());
}

void finishWriting(State& s, std::unique_lock<std::mutex>& lock) {
    if (platform::unloadEndedThreads() || s.ringMode) {
        writeOutHere(s);
        return;
    }
    s.stopping = true;
    s.wake.notify();
    lock.unlock();
    if (s.writer) {
        s.writer->join();
        s.writer.reset();
    }
    s.file.close();
}

}  // namespace quarn::tellan_api::recording
