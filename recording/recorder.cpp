#include "recorder.h"

#include "callrecord.h"
#include "recordwriter.h"

#include <QDateTime>
#include <QSysInfo>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
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

std::string_view view(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<size_t>(bytes.size())};
}

// Puts one whole record, time and thread first, then `members`, then `extra` (members that
// differ on every record, such as a call's beginning), where the writer finds it, or in ring
// mode into the ring. A record whose members repeat a recent one's refers to that one's line
// instead of repeating them: a session asks the same questions and gets the same answers over
// and over. Returns false for a record dropped while the disk falls behind. Caller holds the lock.
bool append(State& s, std::string_view members, std::string_view extra = {}, Keep keep = Keep::no,
            const QByteArray& key = QByteArray()) {
    const int64_t size = static_cast<int64_t>(members.size() + extra.size());
    if (!s.ringMode) {
        // Said once the writer has caught up, so the record lands where the loss ends.
        if ((s.droppedPixels > 0 || s.droppedRecords > 0) && s.pending.size() < s.bufferLimit / 4) {
            RecordLine dropped("dropped");
            dropped.number("pixels", s.droppedPixels)
                .number("bytes", s.droppedPixelBytes)
                .number("records", s.droppedRecords)
                .number("recordBytes", s.droppedRecordBytes);
            s.droppedPixels = s.droppedPixelBytes = s.droppedRecords = s.droppedRecordBytes = 0;
            append(s, view(dropped.members()));
        }
        // Memory stays bounded whatever the disk does; the end record always goes in.
        if (s.pending.size() + size > s.bufferLimit && members.substr(0, 9) != "\"k\":\"end\"") {
            ++s.droppedRecords;
            s.droppedRecordBytes += size;
            return false;
        }
    }
    // The line is written in place, in a buffer that keeps its memory from line to line: room
    // for the members, the extra, a reference to another line and the numbers first.
    QByteArray& line = s.line;
    line.resize(static_cast<int>(size) + 96);
    char* const begin = line.data();
    char* to = begin;
    const auto put = [&to](std::string_view text) {
        if (text.empty())  // an empty view may have no address, which memcpy must not get
            return;
        std::memcpy(to, text.data(), text.size());
        to += text.size();
    };
    const auto number = [&to](int64_t value) { to = std::to_chars(to, to + 20, value).ptr; };
    put("{\"t\":");
    number(s.clock.nsecsElapsed() / 1000);
    put(",\"th\":");
    number(threadNumber(s));
    put(",");
    // A ring forgets old lines, so there nothing refers to another line.
    const bool compacted = !s.ringMode && members.size() > kSmallestRepeat;
    const auto seen = compacted ? s.seen.find(members) : s.seen.end();
    if (seen != s.seen.end()) {
        put(members.substr(0, members.find('"', 5) + 1));  // "k":"<kind>"
        put(",\"same\":");
        number(seen->second.line);
    } else {
        put(members);
        if (compacted) {
            if (s.seen.size() >= kRememberedRecords)
                s.seen.clear();
            QByteArray copy(members.data(), static_cast<int>(members.size()));
            const std::string_view stored = view(copy);
            s.seen.emplace(stored, State::Seen{std::move(copy), s.lines + 1});
        }
    }
    put(extra);
    put("}\n");
    line.resize(static_cast<int>(to - begin));
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
void appendCall(State& s, std::string_view members, std::string_view extra, Keep keep,
                std::string_view function) {
    const size_t result = members.find(",\"result\":");
    const size_t out = result == members.npos ? result : members.find(",\"out\":", result);
    if (s.ringMode || out == members.npos) {
        append(s, members, extra, keep,
               s.ringMode ? QByteArray(function.data(), static_cast<int>(function.size()))
                          : QByteArray());
        return;
    }
    const std::string_view key = members.substr(0, result);  // kind, function and arguments
    const std::string_view resultPart = members.substr(result, out - result);
    const std::string_view outPart = members.substr(out);
    auto last = s.calls.find(key);
    bool appended = false;
    if (last == s.calls.end()) {
        appended = append(s, members, extra);
    } else {
        std::string& changed = s.changed;
        changed.assign("\"k\":\"call\",\"same\":");
        char digits[24];
        changed.append(digits,
                       std::to_chars(digits, digits + sizeof digits, last->second.line).ptr);
        if (last->second.result != resultPart)
            changed += resultPart;
        if (last->second.out != outPart)
            changed += outPart;
        appended = append(s, changed, extra);
    }
    if (!appended)
        return;
    if (s.calls.size() >= kRememberedRecords) {
        s.calls.clear();
        last = s.calls.end();
    }
    if (last == s.calls.end()) {
        QByteArray copy(key.data(), static_cast<int>(key.size()));
        const std::string_view stored = view(copy);
        s.calls.emplace(stored, State::LastCall{std::move(copy), s.lines, std::string(resultPart),
                                                std::string(outPart)});
        return;
    }
    last->second.line = s.lines;
    if (last->second.result != resultPart)
        last->second.result.assign(resultPart);
    if (last->second.out != outPart)
        last->second.out.assign(outPart);
}

// `,"began":<began>`, the member that closes a call's record, in `text`.
std::string_view beganMember(char (&text)[40], int64_t began) {
    constexpr std::string_view name = ",\"began\":";
    std::memcpy(text, name.data(), name.size());
    return {text, static_cast<size_t>(
                      std::to_chars(text + name.size(), text + sizeof text, began).ptr - text)};
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
        append(s, view(RecordLine("end").members()));
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
            append(s, view(line.members()), {}, keep, key);
        if (!done) {
            done = true;
            then();
        }
    } catch (...) {
    }
    if (!done)
        then();
}

// Whether `exchanged` holds the record of `text` already; if not, it is to be formed anew.
bool formedAlready(State::Exchanged& exchanged, const char* text, int size, bool handshake) {
    if (exchanged.formed && exchanged.handshake == handshake &&
        view(exchanged.text) == std::string_view(text, static_cast<size_t>(size)))
        return true;
    exchanged.formed = false;
    exchanged.text.resize(size);  // within the memory it has, mostly
    if (size > 0)
        std::memcpy(exchanged.text.data(), text, static_cast<size_t>(size));
    exchanged.handshake = handshake;
    return false;
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
        char text[40];
        const std::string_view extra = beganMember(text, began);
        // "k":"call","fn":"<function>" come first.
        const std::string_view members = view(line.members());
        const size_t fn = members.find("\"fn\":\"");
        const size_t name = std::min(fn == members.npos ? 5 : fn + 6, members.size());
        const std::string_view function = members.substr(name, members.find('"', name) - name);
        constexpr std::string_view setter = "set_", callback = "_callback";
        Keep keep = Keep::no;
        if (function == "init" || function == "attach")
            keep = Keep::startup;
        else if (function.substr(0, setter.size()) == setter &&
                 function.size() >= callback.size() &&
                 function.substr(function.size() - callback.size()) == callback)
            keep = Keep::setter;
        appendCall(s, members, extra, keep, function);
        if (keep == Keep::startup)
            s.inStartup = false;
    } catch (...) {
    }
}

void requestSent(const char* frame, int size, bool rawHandshake) noexcept {
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        State::Exchanged& request = s.request;
        if (!formedAlready(request, frame, size, rawHandshake)) {
            RecordLine& line = request.record.restart("req");
            // The frame segment's name is random, new for every frame and gone after it: it is
            // written as "*", so that the requests of frames alike are alike in the file too.
            static constexpr std::string_view segmentName = "{\"body\":{\"dataname\":\"";
            const std::string_view bytes(frame, static_cast<size_t>(size));
            const size_t nameEnd = bytes.substr(0, segmentName.size()) == segmentName
                                       ? bytes.find('"', segmentName.size())
                                       : bytes.npos;
            if (nameEnd != bytes.npos)
                line.bytes("text", QByteArray(segmentName.data(), int(segmentName.size())) + '*' +
                                       QByteArray(frame + nameEnd, size - int(nameEnd)));
            else
                line.bytes("text", frame, size);
            if (rawHandshake)
                line.boolean("handshake", true);
            request.formed = true;
        }
        append(s, view(request.record.members()), {}, Keep::request);
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
    State& s = state();
    try {
        std::unique_lock<std::mutex> lock = hold(s);
        if (!lock.owns_lock() || !s.open)
            return;
        State::Exchanged& reply = s.reply;
        if (!formedAlready(reply, frame.constData(), frame.size(), false)) {
            reply.record.restart("rep").bytes("text", frame);
            reply.formed = true;
        }
        append(s, view(reply.record.members()), {}, Keep::answer);
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
            char text[40];
            appendCall(s, view(line.members()), beganMember(text, began), Keep::setter, function);
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
        RecordLine line("startup");
        line.text("mode", attachMode == 0 ? "start" : "attach");
        append(s, view(line.members()), {}, Keep::startup);
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
