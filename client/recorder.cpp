#include "recorder.h"

#include "platform.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSysInfo>
#include <QThread>
#include <QtDebug>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quarn::tellan_api::recording {

std::atomic<bool> active{false};

namespace {

// Records wait at most this long for the writer, so the file is never more than about this far
// behind. A writer with nothing pending sleeps until records come: an idle session costs nothing.
constexpr auto kFlushInterval = std::chrono::milliseconds(250);
// Pending bytes at which the writer is woken at once.
constexpr int kWriteAtBytes = 1 << 20;
// Pending bytes from which the writer counts as behind: frames then go without their pixels.
constexpr int kBehindBytes = 32 << 20;
// Records whose members are longer than this may refer to an earlier equal one instead.
constexpr int kSmallestRepeat = 40;
// Distinct records remembered for that; all are forgotten when there are more.
constexpr int kRememberedRecords = 4096;

// Everything of the one recording of the process. It outlives every session, so that a hook
// racing the end of a session finds it closed rather than gone.
struct State {
    std::mutex mutex;
    bool open = false;
    bool stopping = false;
    bool dumpRequested = false;
    // Set while the records themselves (pending, ring) change: a thread ended by the system inside
    // the lock left them whole unless it was there (see writeOutAfterThreadsEnded).
    std::atomic<bool> changing{false};
    bool pixels = false;
    QFile file;
    QElapsedTimer clock;
    std::vector<Qt::HANDLE> threads;
    QHash<QByteArray, int64_t> seen;  // members of recent records, by line
    // The latest call of each function with the same arguments: its line, result and out values.
    struct LastCall {
        int64_t line;
        QByteArray result;
        QByteArray out;
    };
    QHash<QByteArray, LastCall> calls;
    int64_t lines = 0;  // lines in the file so far
    QByteArray pending;
    QByteArray header;
    // Ring mode: the latest whole records, at most ringLimit bytes of them.
    int64_t ringLimit = 0;
    int64_t ringBytes = 0;
    int64_t evicted = 0;
    std::deque<QByteArray> ring;
    int64_t droppedPixels = 0;
    int64_t droppedPixelBytes = 0;
    // Held by pointer: a writer ended by the system (an unload, the end of the process) is left
    // as it is, since a std::thread destroyed while it seems to run ends the process.
    std::unique_ptr<std::thread> writer;
    platform::IdleWake wake;  // the writer's sleep

    ~State();
};

State& state() {
    static State s;
    return s;
}

int threadNumber(State& s) {
    const Qt::HANDLE self = QThread::currentThreadId();
    for (size_t i = 0; i < s.threads.size(); ++i) {
        if (s.threads[i] == self)
            return static_cast<int>(i) + 1;
    }
    s.threads.push_back(self);
    return static_cast<int>(s.threads.size());
}

// Puts one whole record, time and thread first, then `members`, then `extra` (members that
// differ on every record, such as a call's beginning), where the writer finds it. A record whose
// members repeat a recent one's refers to that one's line instead of repeating them: a session
// asks the same questions and gets the same answers over and over. Caller holds the lock.
void append(State& s, const QByteArray& members, const QByteArray& extra = QByteArray()) {
    // Said once the writer has caught up, so the record lands where the loss ends.
    if (s.ringLimit == 0 && s.droppedPixels > 0 && s.pending.size() < kBehindBytes / 2) {
        RecordLine dropped("dropped");
        dropped.number("pixels", s.droppedPixels).number("bytes", s.droppedPixelBytes);
        s.droppedPixels = 0;
        s.droppedPixelBytes = 0;
        append(s, dropped.members());
    }
    QByteArray line;
    line.reserve(members.size() + extra.size() + 40);
    line += "{\"t\":";
    line += QByteArray::number(s.clock.nsecsElapsed() / 1000);
    line += ",\"th\":";
    line += QByteArray::number(threadNumber(s));
    line += ',';
    // A ring forgets old lines, so there nothing refers to another line.
    const auto seen = s.ringLimit == 0 && members.size() > kSmallestRepeat
                          ? s.seen.constFind(members)
                          : s.seen.constEnd();
    if (seen != s.seen.constEnd()) {
        line += members.left(members.indexOf('"', 5) + 1);  // "k":"<kind>"
        line += ",\"same\":";
        line += QByteArray::number(static_cast<qlonglong>(seen.value()));
    } else {
        line += members;
        if (s.ringLimit == 0 && members.size() > kSmallestRepeat) {
            if (s.seen.size() >= kRememberedRecords)
                s.seen.clear();
            s.seen.insert(members, s.lines + 1);
        }
    }
    line += extra;
    line += "}\n";
    ++s.lines;
    s.changing.store(true, std::memory_order_relaxed);
    if (s.ringLimit > 0) {
        s.ringBytes += line.size();
        s.ring.push_back(std::move(line));
        while (s.ringBytes > s.ringLimit && s.ring.size() > 1) {
            s.ringBytes -= s.ring.front().size();
            s.ring.pop_front();
            ++s.evicted;
        }
    } else {
        // The writer sleeps while nothing is pending, and then wants to know; a full buffer
        // cannot wait for the flush.
        if (s.pending.isEmpty() ||
            (s.pending.size() < kWriteAtBytes && s.pending.size() + line.size() >= kWriteAtBytes))
            s.wake.notify();
        s.pending += line;
    }
    s.changing.store(false, std::memory_order_relaxed);
}

// A call's record. A call made with the same arguments as a recent one (a host that polls, a
// frame after frame of the same size) refers to that one's line and states only the result and
// out values that differ. Members of a call record are "k", "fn", "args", "result" and "out", in
// that order; JSON strings escape their quotes, so the names are found by their text.
void appendCall(State& s, const QByteArray& members, const QByteArray& extra) {
    const int result = members.indexOf(",\"result\":");
    const int out = members.indexOf(",\"out\":", result);
    if (s.ringLimit > 0 || result < 0 || out < 0) {
        append(s, members, extra);
        return;
    }
    const QByteArray key = members.left(result);  // kind, function and arguments
    const QByteArray resultPart = members.mid(result, out - result);
    const QByteArray outPart = members.mid(out);
    const auto last = s.calls.find(key);
    if (last == s.calls.end()) {
        append(s, members, extra);
    } else {
        QByteArray changed =
            "\"k\":\"call\",\"same\":" + QByteArray::number(static_cast<qlonglong>(last->line));
        if (last->result != resultPart)
            changed += resultPart;
        if (last->out != outPart)
            changed += outPart;
        append(s, changed, extra);
    }
    if (s.calls.size() >= kRememberedRecords)
        s.calls.clear();
    s.calls.insert(key, State::LastCall{s.lines, resultPart, outPart});
}

void writeAll(State& s, const QByteArray& bytes) {
    if (s.file.write(bytes) != bytes.size())
        qWarning().noquote() << "Recording: cannot write" << s.file.fileName()
                             << s.file.errorString();
}

// The ring mode's file: the header, a note of what the ring has forgotten, and the ring.
QByteArray ringSnapshot(State& s) {
    QByteArray out = s.header;
    RecordLine note("ring");
    note.number("evicted", s.evicted);
    out += "{\"t\":" + QByteArray::number(s.clock.nsecsElapsed() / 1000) + ",\"th\":0," +
           note.members() + "}\n";
    for (const QByteArray& line : s.ring)
        out += line;
    return out;
}

void writerLoop() {
    State& s = state();
    platform::enterLibraryThread();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        // Sleeps without the lock, in which an unload may park this thread (see platform.h): until
        // records come, then until they have waited the flush interval, or at once for a stop, a
        // ring dump or a full buffer. In ring mode nothing is ever pending.
        std::chrono::steady_clock::time_point flushAt{};
        bool timing = false;
        while (!(s.stopping || s.dumpRequested || s.pending.size() >= kWriteAtBytes)) {
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
        bool rewrite = false;
        if (s.ringLimit > 0) {
            if (s.dumpRequested || last) {
                chunk = ringSnapshot(s);
                rewrite = true;
                s.dumpRequested = false;
            }
        } else {
            s.changing.store(true, std::memory_order_relaxed);
            chunk.swap(s.pending);
            s.changing.store(false, std::memory_order_relaxed);
        }
        lock.unlock();
        if (rewrite) {
            s.file.resize(0);
            s.file.seek(0);
        }
        if (!chunk.isEmpty())
            writeAll(s, chunk);
        lock.lock();
        if (last && s.pending.isEmpty())
            break;
    }
    platform::leaveLibraryThread();
}

QByteArray headerLine(const State& s) {
    RecordLine header("header");
    header.number("format", kFormatVersion)
        .text("library", CA_LIBRARY_VERSION)
        .text("platform", (QSysInfo::kernelType() + ' ' + QSysInfo::currentCpuArchitecture() + ' ' +
                           QSysInfo::buildAbi())
                              .toUtf8()
                              .constData())
        .text("timebase", "t: microseconds since the recording began (monotonic clock)")
        .text("started", QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8().constData())
        .beginArray("recorded");
    for (const char* what :
         {"calls", "requests", "replies", "notices", "callbacks", "startup", "frames"})
        header.text(nullptr, what);
    header.endArray().boolean("pixels", s.pixels).number("ringMiB", s.ringLimit >> 20);
    return "{\"t\":0,\"th\":0," + header.members() + "}\n";
}

// The recorder's lock. Once the library's threads were ended rather than joined, one of them may
// have been ended inside it (at the end of the process the system ends them wherever they stand):
// then it is only tried, and what it guards is left alone when it is taken.
std::unique_lock<std::mutex> hold(State& s) {
    if (platform::unloadEndedThreads())
        return std::unique_lock<std::mutex>(s.mutex, std::try_to_lock);
    return std::unique_lock<std::mutex>(s.mutex);
}

// Writes here what the writer, ended rather than joined, had not: the pending records, or in
// ring mode the ring. The caller holds the lock and has closed the session. No log line: the
// log's own lock may have been left taken by an ended thread.
void writeOutHere(State& s) {
    (void)s.writer.release();  // ended: neither joined nor destroyed
    if (s.ringLimit > 0) {
        s.file.resize(0);
        s.file.seek(0);
        s.file.write(ringSnapshot(s));
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

}  // namespace

void beginSession() noexcept {
    try {
        const QString path = qEnvironmentVariable("CROP_ASSIST_RECORD");
        if (path.isEmpty())
            return;
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.open)
            return;
        s.file.setFileName(path);
        // Unbuffered: whatever the writer has written is the system's, and a writer ended where
        // it stood leaves no half-filled buffer behind.
        if (!s.file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            qWarning().noquote() << "Recording: cannot write" << path << s.file.errorString();
            return;
        }
        s.pixels = qEnvironmentVariableIntValue("CROP_ASSIST_RECORD_PIXELS") == 1;
        const int ringMiB = qEnvironmentVariableIntValue("CROP_ASSIST_RECORD_RING");
        s.ringLimit = ringMiB > 0 ? int64_t(ringMiB) << 20 : 0;
        s.ringBytes = s.evicted = s.droppedPixels = s.droppedPixelBytes = 0;
        s.ring.clear();
        s.threads.clear();
        s.pending.clear();
        s.seen.clear();
        s.calls.clear();
        s.lines = 1;  // the header
        s.stopping = s.dumpRequested = false;
        s.clock.start();
        s.header = headerLine(s);
        if (s.ringLimit == 0)
            s.pending = s.header;
        s.open = true;
        s.writer = std::make_unique<std::thread>(writerLoop);
        platform::setThreadsEndedHook(&writeOutAfterThreadsEnded);
        active.store(true);
        qInfo().noquote() << "Recording the session to" << path;
    } catch (...) {
        // Recording is a diagnosis aid: it never makes init fail.
    }
}

namespace {

void endSessionOf(State& s) noexcept {
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        append(s, RecordLine("end").members());
        s.open = false;
        active.store(false);
        if (platform::unloadEndedThreads()) {
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
    } catch (...) {
    }
}

State::~State() {
    endSessionOf(*this);
}

}  // namespace

void endSession() noexcept {
    endSessionOf(state());
}

int64_t now() noexcept {
    return state().clock.nsecsElapsed() / 1000;
}

void add(const RecordLine& line) noexcept {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (lock.owns_lock() && s.open)
            append(s, line.members());
    } catch (...) {
        // Out of memory: the record is lost, the host goes on.
    }
}

void hostCall(const RecordLine& line, int64_t began, int result) noexcept {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        const QByteArray extra = ",\"began\":" + QByteArray::number(static_cast<qlonglong>(began));
        appendCall(s, line.members(), extra);
        if (s.ringLimit > 0 &&
            (result == CROP_ASSIST_SERVICE_CRASHED || result == CROP_ASSIST_NOT_INITIALIZED)) {
            s.dumpRequested = true;
            s.wake.notify();
        }
    } catch (...) {
    }
}

void requestSent(const char* frame, int size, bool rawHandshake) noexcept {
    try {
        RecordLine line("req");
        // The frame segment's name is random, new for every frame and gone after it: it is
        // written as "*", so that the requests of frames alike are alike in the file too.
        static const QByteArray segmentName = QByteArrayLiteral("{\"body\":{\"dataname\":\"");
        const QByteArray bytes = QByteArray::fromRawData(frame, size);
        const int nameEnd =
            bytes.startsWith(segmentName) ? bytes.indexOf('"', segmentName.size()) : -1;
        if (nameEnd > 0)
            line.bytes("text", segmentName + '*' + bytes.mid(nameEnd));
        else
            line.bytes("text", frame, size);
        if (rawHandshake)
            line.boolean("handshake", true);
        add(line);
    } catch (...) {
    }
}

void replyRead(const QByteArray& frame) noexcept {
    try {
        add(RecordLine("rep").bytes("text", frame));
    } catch (...) {
    }
}

void notice(const char* text, int size) noexcept {
    try {
        add(RecordLine("notice").bytes("line", text, size));
    } catch (...) {
    }
}

void callbackMade(const char* which, const QByteArray& identifier) noexcept {
    try {
        add(RecordLine("callback").text("cb", which).bytes("device", identifier));
    } catch (...) {
    }
}

void eventCallbackMade(int event, const QByteArray& text) noexcept {
    try {
        add(RecordLine("callback").text("cb", "event").number("event", event).bytes("text", text));
    } catch (...) {
    }
}

void startupBegun(int32_t attachMode) noexcept {
    try {
        add(RecordLine("startup").text("mode", attachMode == 0 ? "start" : "attach"));
    } catch (...) {
    }
}

void startupEnded(int32_t result, const char* message) noexcept {
    try {
        RecordLine line("started");
        line.number("result", result);
        if (message)
            line.text("error", message);
        add(line);
    } catch (...) {
    }
}

void serviceEnded(bool running, bool crashed, int exitCode) noexcept {
    try {
        RecordLine line("service");
        if (running)
            line.text("state", "running");
        else if (crashed)
            line.text("state", "crashed");
        else
            line.text("state", "exited").number("exit", exitCode);
        add(line);
    } catch (...) {
    }
}

void connectionLost(bool crashed) noexcept {
    try {
        add(RecordLine("lost").boolean("crashed", crashed));
    } catch (...) {
    }
}

void frame(const char* pixels, uint32_t size) noexcept {
    State& s = state();
    try {
        // The geometry and format are in the call's arguments.
        RecordLine line("frame");
        line.number("size", size)
            .text("hash", pixelHash(pixels, static_cast<int>(size)).constData());
        bool withPixels = false;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            withPixels = s.pixels;
            if (withPixels && s.ringLimit == 0 && s.pending.size() > kBehindBytes) {
                withPixels = false;
                ++s.droppedPixels;
                s.droppedPixelBytes += size;
            }
        }
        if (withPixels)
            line.base64("pixels", pixels, static_cast<int>(size));
        add(line);
    } catch (...) {
    }
}

}  // namespace quarn::tellan_api::recording
