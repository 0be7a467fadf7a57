// Plays a recorded session's host calls again, through the library, against a service that
// replays the same recording, and compares every result, out value and callback.
#include "replay.h"

#include "crop_assist.h"
#include "replaycalls.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <memory>

namespace cropassist {

namespace {

using namespace quarn::tellan_api::recording;
using namespace replaycalls;

// Two recorded values are the same; numbers as the floats that every value written has been.
bool same(const QJsonValue& a, const QJsonValue& b) {
    if (a.isDouble() && b.isDouble())
        return toFloat(a) == toFloat(b);
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
        const int64_t began = toTime(records[i].fields.value("began"));
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
    QByteArray pixels;  // of the frame recorded last: the recorded ones, or zeros of its size
    int startups = 0;
    int calls = 0;
    std::vector<int> noticeLines;
    std::vector<int> handledNoticeLines;  // recorded notices that the library calls back for
    // Waits until the library has handled the notices recorded before `line` that it handles.
    const auto awaitHandledBefore = [&handledNoticeLines](int line) {
        awaitHandled(
            static_cast<size_t>(std::count_if(handledNoticeLines.begin(), handledNoticeLines.end(),
                                              [line](int at) { return at < line; })),
            std::chrono::milliseconds(2000));
    };
    const auto divergence = [out](const Record& record, const QString& what) {
        std::fprintf(out, "replay: divergence at line %d: %s\n", record.line, qPrintable(what));
        return 1;
    };
    for (const Record& record : recording.records) {
        const QJsonObject& fields = record.fields;
        if (record.kind == QLatin1String("startup")) {
            ++startups;
        } else if (record.kind == QLatin1String("notice")) {
            noticeLines.push_back(record.line);
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
            pixels = recorded.isString()
                         ? QByteArray::fromBase64(recorded.toString().toLatin1())
                         : QByteArray(static_cast<int>(
                                          qMin<uint32_t>(toUint32(fields.value("size")), 1u << 30)),
                                      '\0');
        } else if (record.kind == QLatin1String("call")) {
            const int start = starts[static_cast<size_t>(calls)];
            release.before(start);
            // The callbacks that came before this call began when recorded come before it now.
            const size_t due =
                static_cast<size_t>(std::count_if(expectedLines.begin(), expectedLines.end(),
                                                  [start](int line) { return line < start; }));
            if (awaitCallbacks(due, std::chrono::milliseconds(2000)) < due)
                return divergence(record, QStringLiteral("callback %1 (%2) was not made before %3")
                                              .arg(callbacksMade().size() + 1)
                                              .arg(compact(expected[callbacksMade().size()]),
                                                   describeCall(fields)));
            // The notices released are handled before the call, as they were when recorded.
            awaitHandledBefore(start);
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
            QJsonObject actual =
                parsed(makeCall(fn, fields.value("args").toObject(), recordedOut, pixels));
            ++calls;
            if ((fn == QLatin1String("init") || fn == QLatin1String("attach")) &&
                actual.value("result").toInt() == 0) {
                // Watches the notices from the start; the host's own setters say what counts.
                startObserving();
            }
            // A read of the device registry that fetched nothing may have taken its hold on the
            // registry before or after a notice recorded since it began (older libraries also
            // recorded a notice after releasing the registry, so after a fetch that saw it).
            // When it differs with such notices held back, they are released and it reads
            // again: a read changes nothing the service keeps, so the second stands for the first.
            const auto inCall = [start, &record](int line) {
                return line >= start && line < record.line;
            };
            const bool registryRead =
                fn == QLatin1String("get_devices") || fn == QLatin1String("get_device_info");
            if (registryRead &&
                (actual.value("result").toInt() != fields.value("result").toInt() ||
                 !same(actual.value("out"), recordedOut)) &&
                std::any_of(noticeLines.begin(), noticeLines.end(), inCall)) {
                release.before(record.line);
                awaitHandledBefore(record.line);
                actual = parsed(makeCall(fn, fields.value("args").toObject(), recordedOut, pixels));
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
    const std::vector<QJsonObject> made = callbacksMade();
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
