// cropassist replay: its words, --print and --scrub.
#include "replay.h"

#include "recordformat.h"
#include "values.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <map>

namespace cropassist {

namespace {

using namespace quarn::tellan_api::recording;

QString compactJson(const QJsonValue& value) {
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

// A socket message or notice as text: the bytes themselves where they are printable.
QString shownBytes(const QJsonValue& value) {
    const QByteArray bytes = bytesOf(value);
    if (value.isObject())
        return QStringLiteral("(%1 bytes, not UTF-8) %2")
            .arg(bytes.size())
            .arg(QString::fromLatin1(bytes.toHex()));
    return QString::fromUtf8(bytes);
}

QString members(const QJsonObject& object) {
    QStringList parts;
    for (auto it = object.begin(); it != object.end(); ++it)
        parts << it.key() + '=' + compactJson(it.value());
    return parts.join(QLatin1String(", "));
}

QString describe(const Record& record) {
    const QJsonObject& f = record.fields;
    const QString& k = record.kind;
    if (k == QLatin1String("call")) {
        QString text = f.value("fn").toString() + '(' + members(f.value("args").toObject()) +
                       ") -> " + compactJson(f.value("result"));
        const QJsonObject out = f.value("out").toObject();
        return out.isEmpty() ? text : text + "  " + members(out);
    }
    if (k == QLatin1String("req"))
        return (f.value("handshake").toBool() ? QStringLiteral("raw handshake ") : QString()) +
               shownBytes(f.value("text"));
    if (k == QLatin1String("rep"))
        return shownBytes(f.value("text"));
    if (k == QLatin1String("notice"))
        return shownBytes(f.value("line"));
    QJsonObject rest = f;
    for (const char* key : {"t", "th", "k"})
        rest.remove(QLatin1String(key));
    return members(rest);
}

// Which values are device identifiers, names and ids, and the token of each.
class Scrubber {
public:
    explicit Scrubber(const Recording& recording) {
        for (const Record& record : recording.records)
            collect(record);
    }

    QJsonValue value(const QJsonValue& v) const {
        if (v.isString()) {
            const auto it = tokens.find(v.toString());
            if (it != tokens.end())
                return it->second;
            // Inside a longer text (a failure message naming the device), longest first.
            QString text = v.toString();
            for (auto known = byLength.rbegin(); known != byLength.rend(); ++known)
                replaceIn(text, known->second, tokens.at(known->second));
            return text;
        }
        if (v.isArray()) {
            QJsonArray array;
            for (const QJsonValue& item : v.toArray())
                array.append(value(item));
            return array;
        }
        if (v.isObject()) {
            QJsonObject object;
            const QJsonObject in = v.toObject();
            for (auto it = in.begin(); it != in.end(); ++it)
                object.insert(it.key(), value(it.value()));
            return object;
        }
        return v;
    }

    // A JSON text inside a record (a request or reply), scrubbed and written compact again.
    QJsonValue jsonText(const QJsonValue& v) const {
        const QJsonDocument document = QJsonDocument::fromJson(bytesOf(v));
        if (document.isObject())
            return QString::fromUtf8(
                QJsonDocument(value(document.object()).toObject()).toJson(QJsonDocument::Compact));
        return v;
    }

    // A notice line: its type digit, then an identifier or an event text.
    QJsonValue line(const QJsonValue& v) const {
        const QString text = v.toString();
        if (text.isEmpty())
            return v;
        return text.left(1) + value(text.mid(1)).toString();
    }

private:
    // Replaces `value` in `text`; a value shorter than 4 characters only where it stands as a
    // word of its own, since it would be found inside unrelated words.
    static void replaceIn(QString& text, const QString& value, const QString& token) {
        const auto partOfWord = [&text](int at) {
            return at >= 0 && at < text.size() && text.at(at).isLetterOrNumber();
        };
        for (int at = text.indexOf(value); at >= 0; at = text.indexOf(value, at)) {
            if (value.size() < 4 && (partOfWord(at - 1) || partOfWord(at + value.size()))) {
                at += value.size();
                continue;
            }
            text.replace(at, value.size(), token);
            at += token.size();
        }
    }

    void add(const QJsonValue& v, const char* kind) {
        const QString text = v.toString();
        if (text.isEmpty() || tokens.count(text))
            return;
        tokens[text] = QStringLiteral("%1-%2").arg(QLatin1String(kind)).arg(++counts[kind]);
        byLength.emplace(text.size(), text);
    }

    void addDevice(const QJsonObject& device) {
        add(device.value("sn"), "device");
        add(device.value("name"), "name");
        add(device.value("id"), "id");
    }

    void collect(const Record& record) {
        const QJsonObject& f = record.fields;
        if (record.kind == QLatin1String("call")) {
            add(f.value("args").toObject().value("device"), "device");
            const QJsonObject out = f.value("out").toObject();
            for (const QJsonValue& device : out.value("devices").toArray())
                addDevice(device.toObject());
            addDevice(out.value("info").toObject());
        } else if (record.kind == QLatin1String("rep")) {
            const QJsonValue reply =
                QJsonDocument::fromJson(bytesOf(f.value("text"))).object().value("reply");
            if (reply.isObject() && reply.toObject().contains("sn"))
                addDevice(reply.toObject());
        } else if (record.kind == QLatin1String("notice")) {
            const QString text = f.value("line").toString();
            if (text.startsWith('0') || text.startsWith('1'))
                add(text.mid(1), "device");
        } else if (record.kind == QLatin1String("callback")) {
            add(f.value("device"), "device");
        }
    }

    std::map<QString, QString> tokens;
    std::multimap<int, QString> byLength;
    std::map<std::string, int> counts;
};

QByteArray line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

int usage(Output& output, const std::string& message) {
    output.error("replay", kUsageStatus,
                 message +
                     " (usage: cropassist replay [--keyed] FILE, "
                     "replay --print [--scrub] FILE, "
                     "replay --scrub FILE --out FILE)");
    return kUsageStatus;
}

}  // namespace

void printRecording(const Recording& recording, std::FILE* out) {
    const QJsonObject& h = recording.header;
    std::fprintf(out, "recording: format %d, library %s, %s, started %s, pixels %s\n",
                 h.value("format").toInt(), qPrintable(h.value("library").toString()),
                 qPrintable(h.value("platform").toString()),
                 qPrintable(h.value("started").toString()),
                 h.value("pixels").toBool() ? "recorded" : "not recorded");
    for (const Record& record : recording.records) {
        std::fprintf(out, "%12.6f  th%-2d %-9s %s\n", record.time / 1e6, record.thread,
                     qPrintable(record.kind), qPrintable(describe(record)));
    }
    if (!recording.truncation.isEmpty())
        std::fprintf(out, "note: %s\n", qPrintable(recording.truncation));
}

QByteArray scrubRecording(const Recording& recording) {
    const Scrubber scrub(recording);
    QByteArray out = line(recording.header);
    for (const Record& record : recording.records) {
        QJsonObject f = record.fields;
        if (record.kind == QLatin1String("req") || record.kind == QLatin1String("rep")) {
            f.insert("text", scrub.jsonText(f.value("text")));
        } else if (record.kind == QLatin1String("notice")) {
            f.insert("line", scrub.line(f.value("line")));
        } else {
            f.remove("pixels");
            f = scrub.value(f).toObject();
            f.insert("k", record.kind);
        }
        out += line(f);
    }
    return out;
}

int runReplay(const std::vector<std::string>& words, int argc, char** argv, Output& output) {
    bool print = false;
    bool scrub = false;
    bool keyed = false;
    QString file;
    QString outFile;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--print")
            print = true;
        else if (words[i] == "--scrub")
            scrub = true;
        else if (words[i] == "--keyed")
            keyed = true;
        else if (words[i] == "--out" && i + 1 < words.size())
            outFile = QString::fromStdString(words[++i]);
        else if (words[i].rfind("--", 0) == 0 || !file.isEmpty())
            return usage(output, "unexpected " + words[i]);
        else
            file = QString::fromStdString(words[i]);
    }
    if (file.isEmpty() || (scrub && !print && outFile.isEmpty()) || (!outFile.isEmpty() && !scrub))
        return usage(output,
                     file.isEmpty() ? "no recording given" : "--scrub and --out go together");

    Recording recording;
    QString error;
    if (!readRecording(file, &recording, &error)) {
        output.error("replay", CROP_ASSIST_FAILURE, error.toStdString());
        return CROP_ASSIST_FAILURE;
    }
    if (scrub) {
        const QByteArray scrubbed = scrubRecording(recording);
        if (print) {
            Recording shown;
            parseRecording(scrubbed, &shown, &error);
            shown.truncation = recording.truncation;
            printRecording(shown, stdout);
            return 0;
        }
        QFile target(outFile);
        if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            target.write(scrubbed) != scrubbed.size()) {
            output.error("replay", CROP_ASSIST_FAILURE,
                         "cannot write " + outFile.toStdString() + ": " +
                             target.errorString().toStdString());
            return CROP_ASSIST_FAILURE;
        }
        return 0;
    }
    if (print) {
        printRecording(recording, stdout);
        return 0;
    }
    if (!recording.truncation.isEmpty())
        std::fprintf(stderr, "replay: note: %s\n", qPrintable(recording.truncation));
    // A replay recorded with the same variable must not write over what it reads.
    if (QFileInfo(qEnvironmentVariable("CROP_ASSIST_RECORD")) == QFileInfo(file))
        qunsetenv("CROP_ASSIST_RECORD");
    // The library then uses this application rather than making its own.
    QCoreApplication application(argc, argv);
    // Beside the tool in a build, beside the library where it is installed (lib/ on Linux).
    QDir services(QCoreApplication::applicationDirPath());
    if (!services.exists(QStringLiteral("OmnivueService.exe")))
        services.setPath(services.filePath(QStringLiteral(CROPASSIST_SERVICE_FROM_BIN)));
    return replaySession(recording, file, keyed, services.absolutePath(), stdout);
}

}  // namespace cropassist
