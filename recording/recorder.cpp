#include "recorder.h"

#include "callrecord.h"
#include "recordwriter.h"

#include <QDateTime>
#include <QHash>
#include <QSysInfo>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace quarn::tellan_api::recording {

std::atomic<bool> active{false};

namespace {

// What records may hold in memory while the disk falls behind (CROP_ASSIST_RECORD_BUFFER, MiB):
// from half of it frames go without their pixels, at all of it records are dropped.
constexpr int kBufferMiB = 64;
// Records whose members are longer than this may refer to an earlier equal one instead.
constexpr int kSmallestRepeat = 40;
// Distinct records remembered for that; all are forgotten when there are more.
constexpr int kRememberedRecords = 4096;
// Records kept for one device or the start-up beyond the ring; more are not kept.
constexpr size_t kKeptPerGroup = 32;

// What a ring keeps of a record beyond the ring itself, so that a ring file replays whatever
// the ring has forgotten: the start-up, each device present (its arrival, its fetch, its
// callback), the latest call of each callback setter.
enum class Keep {
    no,
    startup,    // a start-up record; records formed while a start-up runs are kept with it
    arrival,    // a device's arrival notice: begins the device's records
    departure,  // a device's loss: its records go
    device,     // another record of the device (its callback)
    request,    // a request: kept with a device when it fetches the device's info (fetchBegins)
    answer,     // a reply or a lost connection: kept with the fetch it answers
    setter,     // a callback setter's call: replaces the one before
};

int threadNumber(State& s) {
    const Qt::HANDLE self = QThread::currentThreadId();
    for (size_t i = 0; i < s.threads.size(); ++i) {
        if (s.threads[i] == self)
            return static_cast<int>(i) + 1;
    }
    s.threads.push_back(self);
    return static_cast<int>(s.threads.size());
}

// The ring's kept lines: the header, then every group's records in the order they were formed.
QByteArray keptLines(const State& s) {
    std::vector<std::pair<int64_t, QByteArray>> all;
    for (const auto& group : s.kept)
        all.insert(all.end(), group.second.begin(), group.second.end());
    std::sort(all.begin(), all.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QByteArray text = s.header;
    int64_t last = 0;
    for (const auto& record : all) {
        if (record.first != last)  // a record kept in two groups goes in once
            text += record.second;
        last = record.first;
    }
    return text;
}

// Files the ring's `line` (the file's line `number`) in its group, as `keep` says.
void keepInRing(State& s, Keep keep, const QByteArray& key, int64_t number,
                const QByteArray& line) {
    QByteArray group;
    switch (keep) {
        case Keep::no:
            if (!s.inStartup)
                return;
            group = "startup";
            break;
        case Keep::startup:
            group = "startup";
            break;
        case Keep::arrival:
            group = "device:" + key;
            s.kept.erase(group);
            break;
        case Keep::departure:
            s.kept.erase("device:" + key);
            s.ring.setKept(keptLines(s));
            return;
        case Keep::device: {
            group = "device:" + key;
            const auto device = s.kept.find(group);
            if (device == s.kept.end())
                return;
            // The callback was made because a setter had set it: that call is kept with it, though
            // the setter's own group keeps only its latest call.
            const auto setter = s.kept.find("setter:set_device_connected_callback");
            if (setter != s.kept.end() && !setter->second.empty() &&
                device->second.size() < kKeptPerGroup)
                device->second.push_back(setter->second.back());
            break;
        }
        case Keep::request:
            if (s.fetching.isEmpty())
                return keepInRing(s, Keep::no, key, number, line);
            s.fetchFor = std::exchange(s.fetching, QByteArray());
            group = "device:" + s.fetchFor;
            break;
        case Keep::answer: {
            const QByteArray fetched = std::exchange(s.fetchFor, QByteArray());
            if (fetched.isEmpty())
                return keepInRing(s, Keep::no, key, number, line);
            const auto found = s.kept.find("device:" + fetched);
            if (found == s.kept.end())
                return;
            if (line.contains("\"k\":\"lost\"")) {
                // A fetch without an answer is not kept either.
                if (!found->second.empty())
                    found->second.pop_back();
                s.ring.setKept(keptLines(s));
                return;
            }
            group = found->first;
            break;
        }
        case Keep::setter:
            group = "setter:" + key;
            s.kept.erase(group);
            break;
    }
    auto& records = s.kept[group];
    if (records.size() < kKeptPerGroup)
        records.emplace_back(number, line);
    s.ring.setKept(keptLines(s));
}

// Puts one whole record, time and thread first, then `members`, then `extra` (members that
// differ on every record, such as a call's beginning), where the writer finds it, or in ring
// mode into the ring. A record whose members repeat a recent one's refers to that one's line
// instead of repeating them: a session asks the same questions and gets the same answers over
// and over. Returns false for a record dropped while the disk falls behind. Caller holds the lock.
bool append(State& s, const QByteArray& members, const QByteArray& extra = QByteArray(),
            Keep keep = Keep::no, const QByteArray& key = QByteArray()) {
    if (!s.ringMode) {
        // Said once the writer has caught up, so the record lands where the loss ends.
        if ((s.droppedPixels > 0 || s.droppedRecords > 0) && s.pending.size() < s.bufferLimit / 4) {
            RecordLine dropped("dropped");
            dropped.number("pixels", s.droppedPixels)
                .number("bytes", s.droppedPixelBytes)
                .number("records", s.droppedRecords)
                .number("recordBytes", s.droppedRecordBytes);
            s.droppedPixels = s.droppedPixelBytes = s.droppedRecords = s.droppedRecordBytes = 0;
            append(s, dropped.members());
        }
        // Memory stays bounded whatever the disk does; the end record always goes in.
        if (s.pending.size() + members.size() + extra.size() > s.bufferLimit &&
            !members.startsWith("\"k\":\"end\"")) {
            ++s.droppedRecords;
            s.droppedRecordBytes += members.size() + extra.size();
            return false;
        }
    }
    QByteArray line;
    line.reserve(members.size() + extra.size() + 40);
    line += "{\"t\":";
    appendNumber(line, s.clock.nsecsElapsed() / 1000);
    line += ",\"th\":";
    appendNumber(line, threadNumber(s));
    line += ',';
    // A ring forgets old lines, so there nothing refers to another line.
    const auto seen = !s.ringMode && members.size() > kSmallestRepeat ? s.seen.constFind(members)
                                                                      : s.seen.constEnd();
    if (seen != s.seen.constEnd()) {
        line += members.left(members.indexOf('"', 5) + 1);  // "k":"<kind>"
        line += ",\"same\":";
        appendNumber(line, seen.value());
    } else {
        line += members;
        if (!s.ringMode && members.size() > kSmallestRepeat) {
            if (s.seen.size() >= kRememberedRecords)
                s.seen.clear();
            s.seen.insert(members, s.lines + 1);
        }
    }
    line += extra;
    line += "}\n";
    ++s.lines;
    putLine(s, line);
    if (s.ringMode)
        keepInRing(s, keep, key, s.lines, line);
    return true;
}

// A call's record. A call made with the same arguments as a recent one (a host that polls, a
// frame after frame of the same size) refers to that one's line and states only the result and
// out values that differ. Members of a call record are "k", "fn", "args", "result" and "out", in
// that order; JSON strings escape their quotes, so the names are found by their text.
void appendCall(State& s, const QByteArray& members, const QByteArray& extra, Keep keep,
                const QByteArray& function) {
    const int result = members.indexOf(",\"result\":");
    const int out = members.indexOf(",\"out\":", result);
    if (s.ringMode || result < 0 || out < 0) {
        append(s, members, extra, keep, function);
        return;
    }
    const QByteArray key = members.left(result);  // kind, function and arguments
    const QByteArray resultPart = members.mid(result, out - result);
    const QByteArray outPart = members.mid(out);
    const auto last = s.calls.find(key);
    bool appended = false;
    if (last == s.calls.end()) {
        appended = append(s, members, extra);
    } else {
        QByteArray changed = "\"k\":\"call\",\"same\":";
        appendNumber(changed, last->line);
        if (last->result != resultPart)
            changed += resultPart;
        if (last->out != outPart)
            changed += outPart;
        appended = append(s, changed, extra);
    }
    if (!appended)
        return;
    if (s.calls.size() >= kRememberedRecords)
        s.calls.clear();
    s.calls.insert(key, State::LastCall{s.lines, resultPart, outPart});
}

QByteArray headerLine(const State& s, int64_t ringBytes) {
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
    header.endArray().boolean("pixels", s.pixels).number("ringMiB", ringBytes >> 20);
    return "{\"t\":0,\"th\":0," + header.members() + "}\n";
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
        const int ringMiB = qEnvironmentVariableIntValue("CROP_ASSIST_RECORD_RING");
        const int64_t ringBytes = ringMiB > 0 ? int64_t(ringMiB) << 20 : 0;
        if (!openSessionFile(s, path, ringBytes))
            return;
        s.pixels = qEnvironmentVariableIntValue("CROP_ASSIST_RECORD_PIXELS") == 1;
        const int bufferMiB = qEnvironmentVariableIntValue("CROP_ASSIST_RECORD_BUFFER");
        s.bufferLimit = int64_t(bufferMiB > 0 ? bufferMiB : kBufferMiB) << 20;
        s.ringMode = ringBytes > 0;
        s.droppedPixels = s.droppedPixelBytes = s.droppedRecords = s.droppedRecordBytes = 0;
        s.kept.clear();
        s.inStartup = false;
        s.fetchFor.clear();
        s.fetching.clear();
        s.threads.clear();
        s.pending.clear();
        s.seen.clear();
        s.calls.clear();
        s.lines = 1;  // the header
        s.clock.start();
        s.header = headerLine(s, ringBytes);
        if (s.ringMode)
            s.ring.setKept(s.header);
        else
            s.pending = s.header;
        s.open = true;
        startWriter(s);
        active.store(true);
        qInfo().noquote() << "Recording the session to" << s.file.fileName();
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
        finishWriting(s, lock);
    } catch (...) {
    }
}

// Adds a record that the ring may keep beyond itself (see Keep). `then` runs inside the lock
// right after it, recorded or not, so that what it does keeps the record's order.
void addKept(const RecordLine& line, Keep keep, const QByteArray& key = QByteArray(),
             const std::function<void()>& then = nullptr) noexcept {
    State& s = state();
    bool done = !then;
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (lock.owns_lock() && s.open)
            append(s, line.members(), QByteArray(), keep, key);
        if (!done) {
            done = true;
            then();
        }
    } catch (...) {
    }
    if (!done)
        then();
}

}  // namespace

State::~State() {
    endSessionOf(*this);
}

void endSession() noexcept {
    endSessionOf(state());
}

int64_t now() noexcept {
    return state().clock.nsecsElapsed() / 1000;
}

void add(const RecordLine& line) noexcept {
    addKept(line, Keep::no);
}

void hostCall(const RecordLine& line, int64_t began) noexcept {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        QByteArray extra = ",\"began\":";
        appendNumber(extra, began);
        // "k":"call","fn":"<function>" come first.
        const QByteArray& members = line.members();
        const int name = members.indexOf("\"fn\":\"") + 6;
        const QByteArray function = members.mid(name, members.indexOf('"', name) - name);
        Keep keep = Keep::no;
        if (function == "init" || function == "attach")
            keep = Keep::startup;
        else if (function.startsWith("set_") && function.endsWith("_callback"))
            keep = Keep::setter;
        appendCall(s, members, extra, keep, function);
        if (keep == Keep::startup)
            s.inStartup = false;
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
        addKept(line, Keep::request);
    } catch (...) {
    }
}

void fetchBegins(const QByteArray& identifier) noexcept {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (lock.owns_lock() && s.open)
            s.fetching = identifier;
    } catch (...) {
    }
}

void replyRead(const QByteArray& frame) noexcept {
    try {
        addKept(RecordLine("rep").bytes("text", frame), Keep::answer);
    } catch (...) {
    }
}

void notice(const char* text, int size, const std::function<void()>& then) noexcept {
    try {
        // Arrivals and losses say which devices are present: "0<id>", "1<id>".
        Keep keep = Keep::no;
        if (size >= 2 && (text[0] == '0' || text[0] == '1'))
            keep = text[0] == '0' ? Keep::arrival : Keep::departure;
        addKept(RecordLine("notice").bytes("line", text, size), keep,
                keep == Keep::no ? QByteArray() : QByteArray(text + 1, size - 1), then);
    } catch (...) {
        if (then)
            then();
    }
}

void setterCall(const char* function, bool set, const std::function<void()>& store) noexcept {
    State& s = state();
    bool stored = false;
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (lock.owns_lock() && s.open) {
            const int64_t began = s.clock.nsecsElapsed() / 1000;
            stored = true;
            store();
            const RecordLine line =
                callRecord(function, CROP_ASSIST_OK, in("callback", Callback{set}));
            appendCall(s, line.members(),
                       ",\"began\":" + QByteArray::number(static_cast<qlonglong>(began)),
                       Keep::setter, function);
        }
    } catch (...) {
    }
    if (!stored)
        store();
}

void callbackMade(const char* which, const QByteArray& identifier) noexcept {
    try {
        addKept(RecordLine("callback").text("cb", which).bytes("device", identifier), Keep::device,
                identifier);
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
        State& s = state();
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        // A ring keeps the latest start-up: from here to the call of init or attach.
        s.kept.erase("startup");
        s.inStartup = true;
        append(s,
               RecordLine("startup").text("mode", attachMode == 0 ? "start" : "attach").members(),
               QByteArray(), Keep::startup);
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
        addKept(RecordLine("lost").boolean("crashed", crashed), Keep::answer);
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
            if (withPixels && !s.ringMode && s.pending.size() > s.bufferLimit / 2) {
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
