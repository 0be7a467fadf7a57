#include "replaycalls.h"

#include "callrecord.h"
#include "crop_assist.h"

#include <QJsonDocument>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>

namespace cropassist::replaycalls {

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

// The observers in all three slots; the result of the first that fails, else 0.
int installObservers() {
    int result = crop_assist_set_device_connected_callback(onConnected);
    if (result == 0)
        result = crop_assist_set_device_disconnected_callback(onDisconnected);
    if (result == 0)
        result = crop_assist_set_device_event_callback(onEvent);
    return result;
}

}  // namespace

QJsonObject parsed(const RecordLine& line) {
    return QJsonDocument::fromJson("{" + line.members() + "}").object();
}

RecordLine makeCall(const QString& fn, const QJsonObject& args, const QJsonObject& recordedOut,
                    const QByteArray& pixels) {
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
        return callRecord(f, installObservers(), in("callback", Callback{set}));
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
        const float pan = toFloat(args.value("pan"));
        const float tilt = toFloat(args.value("tilt"));
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
                         ? reinterpret_cast<const unsigned char*>(pixels.constData())
                         : nullptr;
        frame.width = toUint32(geometry.value("width"));
        frame.height = toUint32(geometry.value("height"));
        frame.pixfmt = toUint32(geometry.value("pixfmt"));
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

int startObserving() {
    {
        std::lock_guard<std::mutex> lock(callbacks().mutex);
        std::fill(std::begin(callbacks().set), std::end(callbacks().set), false);
    }
    return installObservers();
}

std::vector<QJsonObject> callbacksMade() {
    std::lock_guard<std::mutex> lock(callbacks().mutex);
    return callbacks().made;
}

size_t awaitCallbacks(size_t count, std::chrono::milliseconds timeout) {
    Callbacks& c = callbacks();
    std::unique_lock<std::mutex> lock(c.mutex);
    c.changed.wait_for(lock, timeout, [&] { return c.made.size() >= count; });
    return c.made.size();
}

void awaitHandled(size_t count, std::chrono::milliseconds timeout) {
    Callbacks& c = callbacks();
    std::unique_lock<std::mutex> lock(c.mutex);
    c.changed.wait_for(lock, timeout, [&] { return c.handled >= count; });
}

bool handledNotice(const QByteArray& line) {
    return line.size() >= 2 && (line[0] == '0' || (line[0] >= '2' && line[0] <= '4'));
}

}  // namespace cropassist::replaycalls
