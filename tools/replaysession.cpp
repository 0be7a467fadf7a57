// Plays a recorded session's host calls again, through the library, against a service that
// replays the same recording, and compares every result, out value and callback.
#include "replay.h"

#include "callrecord.h"
#include "crop_assist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace cropassist {

namespace {

using namespace quarn::tellan_api::recording;

// The callbacks the library has made during the replay, as records would show them. The replay
// always installs all three, to see when the library has handled a notice; only those of a kind
// the recorded host had set count as made.
struct Callbacks {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<QJsonObject> made;
    size_t handled = 0;  // arrivals and events, set or not
    bool set[3] = {false, false, false};
};

Callbacks& callbacks() {
    static Callbacks c;
    return c;
}

QJsonObject parsed(const RecordLine& line) {
    return QJsonDocument::fromJson("{" + line.members() + "}").object();
}

void note(int kind, const RecordLine& line) {
    QJsonObject callback = parsed(line);
    callback.remove(QLatin1String("k"));
    Callbacks& c = callbacks();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (kind != 1)
        ++c.handled;
    if (c.set[kind])
        c.made.push_back(callback);
    c.changed.notify_all();
}

void CROP_ASSIST_CALL onConnected(const char* sn) {
    note(0, RecordLine("callback").text("cb", "connected").text("device", sn));
}

void CROP_ASSIST_CALL onDisconnected(const char* sn) {
    note(1, RecordLine("callback").text("cb", "disconnected").text("device", sn));
}

void CROP_ASSIST_CALL onEvent(int event, const char* text) {
    note(2, RecordLine("callback").text("cb", "event").number("event", event).text("text", text));
}

// Waits until `count` callbacks have been made or `timeout` has passed; returns how many there are.
size_t awaitCallbacks(size_t count, std::chrono::milliseconds timeout) {
    Callbacks& c = callbacks();
    std::unique_lock<std::mutex> lock(c.mutex);
    c.changed.wait_for(lock, timeout, [&] { return c.made.size() >= count; });
    return c.made.size();
}

// Waits until the library has handled `count` arrivals and events, within `timeout`.
void awaitHandled(size_t count, std::chrono::milliseconds timeout) {
    Callbacks& c = callbacks();
    std::unique_lock<std::mutex> lock(c.mutex);
    c.changed.wait_for(lock, timeout, [&] { return c.handled >= count; });
}

// Whether a notice line makes the library call the connected or event callback.
bool handledNotice(const QByteArray& line) {
    return line.size() >= 2 && (line[0] == '0' || (line[0] >= '2' && line[0] <= '4'));
}

// Two recorded values are the same; numbers as the floats that every value written has been.
bool same(const QJsonValue& a, const QJsonValue& b) {
    if (a.isDouble() && b.isDouble())
        return static_cast<float>(a.toDouble()) == static_cast<float>(b.toDouble());
    if (a.isArray() && b.isArray()) {
        const QJsonArray x = a.toArray(), y = b.toArray();
        if (x.size() != y.size())
            return false;
        for (int i = 0; i < x.size(); ++i)
            if (!same(x[i], y[i]))
                return false;
        return true;
    }
    if (a.isObject() && b.isObject()) {
        const QJsonObject x = a.toObject(), y = b.toObject();
        if (x.keys() != y.keys())
            return false;
        for (const QString& key : x.keys())
            if (!same(x[key], y[key]))
                return false;
        return true;
    }
    return a == b;
}

QString compact(const QJsonValue& value) {
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

QString describeCall(const QJsonObject& call) {
    QStringList args;
    const QJsonObject in = call.value("args").toObject();
    for (auto it = in.begin(); it != in.end(); ++it)
        args << it.key() + '=' + compact(it.value());
    return call.value("fn").toString() + '(' + args.join(", ") + ')';
}

// One string argument as the host passed it: null stays null.
struct Text {
    explicit Text(const QJsonValue& value)
        : isNull(value.isNull() || value.isUndefined()), bytes(bytesOf(value)) {}
    const char* get() const { return isNull ? nullptr : bytes.constData(); }
    bool isNull;
    QByteArray bytes;
};

// Out-parameters recorded as null were null pointers; the replay passes null there too.
template <typename T>
T* outPointer(const QJsonObject& recordedOut, const char* name, T* storage) {
    return recordedOut.value(QLatin1String(name)).isNull() ? nullptr : storage;
}

// The frame's pixels: the recorded ones when there are any, else zeros of the recorded size.
struct FramePixels {
    QByteArray bytes;
};

// The observers in all three slots; the result of the first that fails, else 0.
int installCallbacks() {
    int result = crop_assist_set_device_connected_callback(onConnected);
    if (result == 0)
        result = crop_assist_set_device_disconnected_callback(onDisconnected);
    if (result == 0)
        result = crop_assist_set_device_event_callback(onEvent);
    return result;
}

// Makes one recorded call again and returns its record.
RecordLine makeCall(const QString& fn, const QJsonObject& args, const QJsonObject& recordedOut,
                    const FramePixels& pixels) {
    const Text device(args.value("device"));
    const char* dev = device.get();
    const bool flag = args.value("enabled").toBool();
    const TellanMode mode = static_cast<TellanMode>(args.value("mode").toInt());
    const std::string name = fn.toStdString();
    const char* f = name.c_str();

    const auto boolQuery = [&](int (*call)(const char*, bool*), const char* outName) {
        bool value = false;
        bool* p = outPointer(recordedOut, outName, &value);
        const int result = call(dev, p);
        return callRecord(f, result, in("device", dev), out(outName, static_cast<const bool*>(p)));
    };
    const auto deviceCommand = [&](int (*call)(const char*)) {
        return callRecord(f, call(dev), in("device", dev));
    };
    const auto switchCommand = [&](int (*call)(const char*, bool)) {
        return callRecord(f, call(dev, flag), in("device", dev), in("enabled", flag));
    };
    const auto modeQuery = [&](int (*call)(const char*, TellanMode*)) {
        TellanMode value = TELLAN_MODE_FRAMING;
        TellanMode* p = outPointer(recordedOut, "mode", &value);
        const int result = call(dev, p);
        return callRecord(f, result, in("device", dev),
                          out("mode", static_cast<const TellanMode*>(p)));
    };

    if (fn == "init")
        return callRecord(f, crop_assist_init());
    if (fn == "attach")
        return callRecord(f, crop_assist_attach());
    if (fn == "exit")
        return callRecord(f, crop_assist_exit());
    if (fn == "is_initialized")
        return callRecord(f, crop_assist_is_initialized() ? 1 : 0);
    if (fn.startsWith("set_device_")) {
        const bool set = args.value("callback").toBool();
        const int kind = fn == "set_device_connected_callback"      ? 0
                         : fn == "set_device_disconnected_callback" ? 1
                                                                    : 2;
        {
            std::lock_guard<std::mutex> lock(callbacks().mutex);
            callbacks().set[kind] = set;
        }
        return callRecord(f, installCallbacks(), in("callback", Callback{set}));
    }
    if (fn == "is_enabled")
        return boolQuery(crop_assist_is_enabled, "enabled");
    if (fn == "is_adjustment_active")
        return boolQuery(crop_assist_is_adjustment_active, "active");
    if (fn == "is_auto_zoom_enabled")
        return boolQuery(crop_assist_is_auto_zoom_enabled, "enabled");
    if (fn == "set_enabled")
        return switchCommand(crop_assist_set_enabled);
    if (fn == "set_auto_zoom_enabled")
        return switchCommand(crop_assist_set_auto_zoom_enabled);
    if (fn == "get_mode")
        return modeQuery(crop_assist_get_mode);
    if (fn == "get_mode_effective")
        return modeQuery(crop_assist_get_mode_effective);
    if (fn == "set_mode")
        return callRecord(f, crop_assist_set_mode(dev, mode), in("device", dev), in("mode", mode));
    if (fn == "is_mode_supported") {
        bool value = false;
        bool* p = outPointer(recordedOut, "supported", &value);
        const int result = crop_assist_is_mode_supported(dev, mode, p);
        return callRecord(f, result, in("device", dev), in("mode", mode),
                          out("supported", static_cast<const bool*>(p)));
    }
    if (fn == "get_cur_home_pt") {
        float pan = 0, tilt = 0;
        float* pp = outPointer(recordedOut, "pan", &pan);
        float* tp = outPointer(recordedOut, "tilt", &tilt);
        const int result = crop_assist_get_cur_home_pt(dev, pp, tp);
        return callRecord(f, result, in("device", dev), out("pan", static_cast<const float*>(pp)),
                          out("tilt", static_cast<const float*>(tp)));
    }
    if (fn == "set_home_pt") {
        const float pan = static_cast<float>(args.value("pan").toDouble());
        const float tilt = static_cast<float>(args.value("tilt").toDouble());
        return callRecord(f, crop_assist_set_home_pt(dev, pan, tilt), in("device", dev),
                          in("pan", pan), in("tilt", tilt));
    }
    if (fn == "set_cur_pt_as_home")
        return deviceCommand(crop_assist_set_cur_pt_as_home);
    if (fn == "trigger_home")
        return deviceCommand(crop_assist_trigger_home);
    if (fn == "is_upload_crash_reports_enabled") {
        bool value = false;
        bool* p = outPointer(recordedOut, "enabled", &value);
        return callRecord(f, crop_assist_is_upload_crash_reports_enabled(p),
                          out("enabled", static_cast<const bool*>(p)));
    }
    if (fn == "set_upload_crash_reports_enabled")
        return callRecord(f, crop_assist_set_upload_crash_reports_enabled(flag),
                          in("enabled", flag));
    if (fn == "get_frame_rois" || fn == "get_last_frame_rois") {
        const TellanROI* rois = nullptr;
        int count = 0;
        const TellanROI** rp = outPointer(recordedOut, "rois", &rois);
        int* cp = rp ? &count : nullptr;
        if (fn == "get_last_frame_rois") {
            const int result = crop_assist_get_last_frame_rois(dev, rp, cp);
            return callRecord(f, result, in("device", dev), out("rois", list(rp, cp)));
        }
        const QJsonObject geometry = args.value("frame").toObject();
        TellanFrame frame{};
        frame.data = geometry.value("data").toBool()
                         ? reinterpret_cast<const unsigned char*>(pixels.bytes.constData())
                         : nullptr;
        frame.width = static_cast<uint32_t>(geometry.value("width").toDouble());
        frame.height = static_cast<uint32_t>(geometry.value("height").toDouble());
        frame.pixfmt = static_cast<uint32_t>(geometry.value("pixfmt").toDouble());
        const int result = crop_assist_get_frame_rois(dev, frame, rp, cp);
        return callRecord(f, result, in("device", dev), in("frame", frame),
                          out("rois", list(rp, cp)));
    }
    if (fn == "get_devices") {
        const TellanDeviceInfo* devices = nullptr;
        int count = 0;
        const TellanDeviceInfo** dp = outPointer(recordedOut, "devices", &devices);
        int* cp = dp ? &count : nullptr;
        return callRecord(f, crop_assist_get_devices(dp, cp), out("devices", list(dp, cp)));
    }
    if (fn == "get_device_info") {
        TellanDeviceInfo info{};
        TellanDeviceInfo* p = outPointer(recordedOut, "info", &info);
        const int result = crop_assist_get_device_info(dev, p);
        return callRecord(f, result, in("device", dev),
                          out("info", static_cast<const TellanDeviceInfo*>(p)));
    }
    throw std::runtime_error("the recording holds a call of an unknown function " + name);
}

// A service of the replay's own for a session that attached; ended when it goes.
class AttachedService {
public:
    bool start(const QString& directory, const QString& file, bool keyed, int startup,
               const QString& control, QString* error) {
        QStringList arguments{"--standalone",           "--replay",  file,   "--replay-start",
                              QString::number(startup), "--control", control};
        if (keyed)
            arguments << "--keyed";
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QDir(directory).filePath("OmnivueService.exe"), arguments);
        while (process.waitForReadyRead(10000)) {
            if (process.canReadLine() && process.readLine().startsWith("suffix "))
                return true;
        }
        *error = "the replaying service did not start: " + process.errorString();
        return false;
    }
    ~AttachedService() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(1000);
    }

private:
    QProcess process;
};

// The replaying service's control channel, through which the notices are released.
class NoticeRelease {
public:
    explicit NoticeRelease(QString name) : name(std::move(name)) {}

    // Sends the notices recorded before `line`. Before a service runs there is nothing to send.
    void before(int line) {
        if (socket.state() != QLocalSocket::ConnectedState) {
            socket.connectToServer(name);
            if (!socket.waitForConnected(1000))
                return;
        }
        socket.write("notices " + QByteArray::number(line) + '\n');
        socket.waitForBytesWritten(1000);
        while (!socket.canReadLine() && socket.waitForReadyRead(2000)) {
        }
        socket.readLine();
    }
    void reset() { socket.abort(); }

private:
    QString name;
    QLocalSocket socket;
};

// Where each call began when recorded, as far as notices are concerned: at its first request,
// since the notices before a request were handled before it (the device registry's fetches show
// which); at the first record after its beginning when it made none.
std::vector<int> callStarts(const std::vector<Record>& records) {
    std::vector<int> starts;
    size_t first = 0;  // the first record after the call before
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].kind != QLatin1String("call"))
            continue;
        const int64_t began = static_cast<int64_t>(records[i].fields.value("began").toDouble());
        size_t start = first;
        while (start < i && records[start].time < began)
            ++start;
        size_t request = start;
        while (request < i && records[request].kind != QLatin1String("req"))
            ++request;
        starts.push_back(records[request < i ? request : start].line);
        first = i + 1;
    }
    return starts;
}

}  // namespace

int replaySession(const Recording& recording, const QString& file, bool keyed,
                  const QString& serviceDirectory, std::FILE* out) {
    const QString absolute = QFileInfo(file).absoluteFilePath();
    qputenv("OMNIVUE_REPLAY", absolute.toUtf8());
    qputenv("OMNIVUE_REPLAY_KEYED", keyed ? "1" : "0");
    qputenv("OMNIVUE_REPLAY_PACED", "1");
    const QString control =
        QStringLiteral("cropassist-replay-%1").arg(QCoreApplication::applicationPid());
    qputenv("OMNIVUE_CONTROL", control.toUtf8());
    // A divergence ends the replay early: the library's session ends with it, before the
    // application that it uses goes.
    struct SessionEnd {
        ~SessionEnd() { crop_assist_exit(); }
    } sessionEnd;
    NoticeRelease release(control);
    const std::vector<int> starts = callStarts(recording.records);

    std::vector<QJsonObject> expected;  // the callbacks recorded so far
    std::vector<int> expectedLines;
    std::unique_ptr<AttachedService> attached;
    FramePixels pixels;
    int startups = 0;
    int calls = 0;
    std::vector<int> handledNoticeLines;  // recorded notices that the library calls back for
    const auto divergence = [out](const Record& record, const QString& what) {
        std::fprintf(out, "replay: divergence at line %d: %s\n", record.line, qPrintable(what));
        return 1;
    };
    for (const Record& record : recording.records) {
        const QJsonObject& fields = record.fields;
        if (record.kind == QLatin1String("startup")) {
            ++startups;
        } else if (record.kind == QLatin1String("notice")) {
            if (handledNotice(bytesOf(fields.value("line"))))
                handledNoticeLines.push_back(record.line);
        } else if (record.kind == QLatin1String("callback")) {
            QJsonObject callback = fields;
            for (const char* key : {"t", "th", "k"})
                callback.remove(QLatin1String(key));
            expected.push_back(callback);
            expectedLines.push_back(record.line);
        } else if (record.kind == QLatin1String("frame")) {
            const QJsonValue recorded = fields.value("pixels");
            pixels.bytes =
                recorded.isString()
                    ? QByteArray::fromBase64(recorded.toString().toLatin1())
                    : QByteArray(static_cast<int>(fields.value("size").toDouble()), '\0');
        } else if (record.kind == QLatin1String("call")) {
            const int start = starts[static_cast<size_t>(calls)];
            release.before(start);
            // The callbacks that came before this call began when recorded come before it now.
            const size_t due =
                static_cast<size_t>(std::count_if(expectedLines.begin(), expectedLines.end(),
                                                  [start](int line) { return line < start; }));
            if (awaitCallbacks(due, std::chrono::milliseconds(2000)) < due)
                return divergence(record, QStringLiteral("callback %1 (%2) was not made before %3")
                                              .arg(callbacks().made.size() + 1)
                                              .arg(compact(expected[callbacks().made.size()]),
                                                   describeCall(fields)));
            // The notices released are handled before the call, as they were when recorded.
            awaitHandled(static_cast<size_t>(
                             std::count_if(handledNoticeLines.begin(), handledNoticeLines.end(),
                                           [start](int line) { return line < start; })),
                         std::chrono::milliseconds(2000));
            const QString fn = fields.value("fn").toString();
            if (fn == QLatin1String("init") || fn == QLatin1String("attach"))
                qputenv("OMNIVUE_REPLAY_START", QByteArray::number(qMax(0, startups - 1)));
            if (fn == QLatin1String("attach") && !attached) {
                attached = std::make_unique<AttachedService>();
                QString error;
                if (!attached->start(serviceDirectory, absolute, keyed, qMax(0, startups - 1),
                                     control, &error)) {
                    std::fprintf(out, "replay: %s\n", qPrintable(error));
                    return 1;
                }
            }
            const QJsonObject recordedOut = fields.value("out").toObject();
            const QJsonObject actual =
                parsed(makeCall(fn, fields.value("args").toObject(), recordedOut, pixels));
            ++calls;
            if ((fn == QLatin1String("init") || fn == QLatin1String("attach")) &&
                actual.value("result").toInt() == 0) {
                // Watches the notices from the start; the host's own setters say what counts.
                std::lock_guard<std::mutex> lock(callbacks().mutex);
                std::fill(std::begin(callbacks().set), std::end(callbacks().set), false);
                installCallbacks();
            }
            const int recordedResult = fields.value("result").toInt();
            const int result = actual.value("result").toInt();
            if (result != recordedResult)
                return divergence(record, QStringLiteral("%1 gave %2, recorded %3")
                                              .arg(describeCall(fields))
                                              .arg(result)
                                              .arg(recordedResult));
            if (!same(actual.value("out"), recordedOut))
                return divergence(record,
                                  QStringLiteral("%1 wrote %2, recorded %3")
                                      .arg(describeCall(fields), compact(actual.value("out")),
                                           compact(recordedOut)));
            if (fn == QLatin1String("exit")) {
                release.reset();
                attached.reset();
            }
        }
    }
    // Callbacks made after the last call, and any the replay made beyond the recorded ones.
    awaitCallbacks(expected.size() + 1, std::chrono::milliseconds(expected.empty() ? 200 : 1000));
    const std::vector<QJsonObject> made = callbacks().made;
    for (size_t i = 0; i < std::max(made.size(), expected.size()); ++i) {
        if (i < made.size() && i < expected.size() && same(made[i], expected[i]))
            continue;
        std::fprintf(out, "replay: divergence in callback %zu: made %s, recorded %s\n", i + 1,
                     i < made.size() ? qPrintable(compact(made[i])) : "none",
                     i < expected.size() ? qPrintable(compact(expected[i])) : "none");
        return 1;
    }
    std::fprintf(out, "replay: the same session: %d calls and %zu callbacks as recorded\n", calls,
                 made.size());
    return 0;
}

}  // namespace cropassist
