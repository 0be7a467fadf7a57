#include "replaycalls.h"

#include "callrecord.h"
#include "calltable.h"
#include "crop_assist.h"

#include <QJsonDocument>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

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

// What a recorded call passed, read back from its record: `args` and `out` as recorded, and the
// names of the call's parameters in order (from the call table).
struct Recorded {
    const QJsonObject& args;
    const QJsonObject& out;
    const quarn::tellan_api::calls::ArgumentNames& names;
    const QByteArray& pixels;

    QJsonValue in(std::size_t i) const { return args.value(QLatin1String(names[i])); }
    bool outWasNull(std::size_t i) const { return out.value(QLatin1String(names[i])).isNull(); }
};

// One argument of a replayed call as the host passed it. Numbers and switches by value.
template <typename T>
struct Argument {
    Argument(const Recorded& r, std::size_t i) {
        if constexpr (std::is_same_v<T, bool>)
            value = r.in(i).toBool();
        else if constexpr (std::is_same_v<T, float>)
            value = toFloat(r.in(i));
        else
            value = static_cast<T>(r.in(i).toInt());
    }
    T get() const { return value; }
    T value;
};

// A string: null stays null.
template <>
struct Argument<const char*> {
    Argument(const Recorded& r, std::size_t i)
        : isNull(r.in(i).isNull() || r.in(i).isUndefined()), bytes(bytesOf(r.in(i))) {}
    const char* get() const { return isNull ? nullptr : bytes.constData(); }
    bool isNull;
    QByteArray bytes;
};

// A frame: its geometry as recorded, its pixels those of the recording when it had any.
template <>
struct Argument<TellanFrame> {
    Argument(const Recorded& r, std::size_t i) {
        const QJsonObject geometry = r.in(i).toObject();
        frame.data = geometry.value("data").toBool()
                         ? reinterpret_cast<const unsigned char*>(r.pixels.constData())
                         : nullptr;
        frame.width = toUint32(geometry.value("width"));
        frame.height = toUint32(geometry.value("height"));
        frame.pixfmt = toUint32(geometry.value("pixfmt"));
    }
    TellanFrame get() const { return frame; }
    TellanFrame frame{};
};

// An out-parameter: null where the host passed null (recorded as null).
template <typename T>
struct Argument<T*> {
    Argument(const Recorded& r, std::size_t i) : isNull(r.outWasNull(i)) {}
    T* get() { return isNull ? nullptr : &value; }
    bool isNull;
    T value{};
};

// An array's count: null where its array was.
template <>
struct Argument<int*> {
    Argument(const Recorded& r, std::size_t i) : isNull(i == 0 || r.outWasNull(i - 1)) {}
    int* get() { return isNull ? nullptr : &value; }
    bool isNull;
    int value = 0;
};

// Makes the call again with the recorded arguments and forms its record as the library would.
template <typename... A, std::size_t... I>
RecordLine replayed(int (*call)(A...), const char* function, const Recorded& recorded,
                    std::index_sequence<I...>) {
    std::tuple<Argument<A>...> arguments(Argument<A>(recorded, I)...);
    const int result = call(std::get<I>(arguments).get()...);
    return callRecordOf(function, result, recorded.names, std::get<I>(arguments).get()...);
}

template <typename... A>
RecordLine replayed(int (*call)(A...), const char* function, const Recorded& recorded) {
    return replayed(call, function, recorded, std::index_sequence_for<A...>());
}

using Replayer = RecordLine (*)(const QJsonObject&, const QJsonObject&, const QByteArray&);

#define CA_UNPARENTHESIZED(...) __VA_ARGS__
// The call as a plain function (whatever the export's calling convention) and its names.
#define CA_REPLAYER(function, operation, failure, parameters, arguments, summary)             \
    {QStringLiteral(#function),                                                               \
     [](const QJsonObject& args, const QJsonObject& out, const QByteArray& pixels) {          \
         static constexpr quarn::tellan_api::calls::ArgumentNames names(#arguments);          \
         return replayed(                                                                     \
             +[] parameters { return crop_assist_##function(CA_UNPARENTHESIZED arguments); }, \
             #function, Recorded{args, out, names, pixels});                                  \
     }},

const std::map<QString, Replayer>& replayers() {
    static const std::map<QString, Replayer> table = {CROP_ASSIST_QUERIES(CA_REPLAYER)};
    return table;
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
    const std::string name = fn.toStdString();
    const char* f = name.c_str();
    const auto query = replayers().find(fn);
    if (query != replayers().end())
        return query->second(args, recordedOut, pixels);
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
