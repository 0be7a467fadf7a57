#include "recordreader.h"

#include "recordformat.h"
#include "ringfile.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonParseError>

namespace quarn::tellan_api::recording {

namespace {

// A time or thread: a whole number from 0 up to 2^53, where doubles stop being exact.
bool isCount(const QJsonValue& value) {
    const double d = value.toDouble(-1);
    return value.isDouble() && d >= 0 && d <= 9007199254740992.0 &&
           d == static_cast<double>(static_cast<int64_t>(d));
}

QString position(int line, int64_t offset) {
    return QStringLiteral("line %1 (byte %2)").arg(line).arg(offset);
}

}  // namespace

bool parseRecording(const QByteArray& file, Recording* recording, QString* error) {
    *recording = Recording();
    QByteArray ringLines;
    if (isRingFile(file) && !ringRecords(file, &ringLines, error))
        return false;
    const QByteArray& bytes = isRingFile(file) ? ringLines : file;
    int line = 0;
    int start = 0;
    bool ended = false;
    QHash<int, int> lineIndex;  // line number to index in records
    while (start < bytes.size()) {
        ++line;
        const int lineFeed = bytes.indexOf('\n', start);
        if (lineFeed < 0) {
            recording->truncation = QStringLiteral(
                                        "the recording is cut off inside the record at %1; "
                                        "it holds the %2 records before it")
                                        .arg(position(line, start))
                                        .arg(recording->records.size());
            break;
        }
        QByteArray text = bytes.mid(start, lineFeed - start);
        const int64_t offset = start;
        start = lineFeed + 1;
        if (text.endsWith('\r'))  // a file that went through a text editor on Windows
            text.chop(1);
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
        QJsonObject fields = document.object();
        QString problem;
        if (parseError.error != QJsonParseError::NoError)
            problem = parseError.errorString() +
                      QStringLiteral(" at column %1").arg(parseError.offset + 1);
        else if (!document.isObject())
            problem = QStringLiteral("not a JSON object");
        else if (!fields.value(QLatin1String("k")).isString())
            problem = QStringLiteral("no kind \"k\"");
        else if (!isCount(fields.value(QLatin1String("t"))) ||
                 !isCount(fields.value(QLatin1String("th"))))
            problem = QStringLiteral("no time \"t\" or thread \"th\" (whole numbers from 0)");
        if (!problem.isEmpty()) {
            *error =
                QStringLiteral("damaged record at %1: %2").arg(position(line, offset), problem);
            return false;
        }
        const QString kind = fields.value(QLatin1String("k")).toString();
        if (line == 1) {
            if (kind != QLatin1String("header")) {
                *error = QStringLiteral("not a session recording: %1 is not a header")
                             .arg(position(line, offset));
                return false;
            }
            const QJsonValue format = fields.value(QLatin1String("format"));
            const int version = isCount(format) && format.toDouble() <= kFormatVersion
                                    ? static_cast<int>(format.toDouble())
                                    : -1;
            if (version < 1 || version > kFormatVersion) {
                *error = QStringLiteral("recording format %1 at %2; this reader knows 1 to %3")
                             .arg(fields.value(QLatin1String("format")).toVariant().toString(),
                                  position(line, offset))
                             .arg(kFormatVersion);
                return false;
            }
            recording->header = fields;
            continue;
        }
        // A repeat: the members of the earlier record it names, with its own time and thread.
        const QJsonValue same = fields.value(QLatin1String("same"));
        if (!same.isUndefined()) {
            const auto earlier = lineIndex.constFind(
                isCount(same) && same.toDouble() < line ? static_cast<int>(same.toDouble()) : -1);
            if (earlier == lineIndex.constEnd() ||
                recording->records[static_cast<size_t>(*earlier)].kind != kind) {
                *error = QStringLiteral("damaged record at %1: \"same\" names no earlier %2 record")
                             .arg(position(line, offset), kind);
                return false;
            }
            QJsonObject own = fields;
            fields = recording->records[static_cast<size_t>(*earlier)].fields;
            fields.remove(QLatin1String("began"));
            own.remove(QLatin1String("same"));
            for (auto it = own.begin(); it != own.end(); ++it)
                fields.insert(it.key(), it.value());
        }
        lineIndex.insert(line, static_cast<int>(recording->records.size()));
        ended = kind == QLatin1String("end");
        if (kind == QLatin1String("ring") && recording->keptRecords < 0)
            recording->keptRecords = static_cast<int>(recording->records.size());
        Record record;
        record.kind = kind;
        record.time = static_cast<int64_t>(fields.value(QLatin1String("t")).toDouble());
        record.thread = static_cast<int>(qMin(fields.value(QLatin1String("th")).toDouble(), 1e9));
        record.line = line;
        record.offset = offset;
        record.fields = std::move(fields);
        recording->records.push_back(std::move(record));
    }
    if (line == 0 || recording->header.isEmpty()) {
        *error = QStringLiteral("not a session recording: no header record");
        return false;
    }
    recording->keptRecords = qMax(0, recording->keptRecords);
    if (recording->truncation.isEmpty() && !ended) {
        recording->truncation = QStringLiteral("the recording has no end record; it ends after %1")
                                    .arg(position(line, start));
    }
    return true;
}

bool readRecording(const QString& path, Recording* recording, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!parseRecording(file.readAll(), recording, error)) {
        *error = path + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

}  // namespace quarn::tellan_api::recording
