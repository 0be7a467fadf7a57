#include "replay.h"

#include "recordformat.h"
#include "recordreader.h"
#include "servicelog.h"
#include "textescape.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace omnivue {

namespace {

using quarn::tellan_api::recording::bytesOf;
using quarn::tellan_api::recording::Record;
using quarn::tellan_api::recording::Recording;

constexpr int kShownBytes = 300;

QByteArray shown(const QByteArray& bytes) {
    const QByteArray text = escapeC(bytes.left(kShownBytes));
    return bytes.size() > kShownBytes ? text + "..." : text;
}

int commonPrefix(const QByteArray& a, const QByteArray& b) {
    int n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        ++n;
    return n;
}

}  // namespace

QByteArray replayKey(const QByteArray& frame, bool handshake) {
    if (handshake)
        return QByteArrayLiteral("raw handshake");
    const QJsonDocument document = QJsonDocument::fromJson(frame);
    if (!document.isObject())
        return frame;
    const QJsonObject request = document.object();
    const QString type = request.value(QLatin1String("type")).toString();
    QJsonValue body = request.value(QLatin1String("body"));
    if (type == QLatin1String("ahsh")) {
        body = QJsonValue(QStringLiteral("<suffix>"));
    } else if (body.isObject()) {
        QJsonObject object = body.toObject();
        object.remove(QLatin1String("dataname"));
        body = object;
    }
    const QByteArray bodyText =
        QJsonDocument(QJsonObject{{"b", body}}).toJson(QJsonDocument::Compact);
    return type.toUtf8() + ' ' + bodyText.mid(5, bodyText.size() - 6);
}

std::unique_ptr<Replay> Replay::load(const ReplayOptions& options, QString* error, QString* note) {
    Recording recording;
    if (!quarn::tellan_api::recording::readRecording(options.file, &recording, error))
        return nullptr;
    *note = recording.truncation;
    std::unique_ptr<Replay> replay(new Replay(options));

    // The records of the chosen start-up: from its "startup" record to the next one.
    const std::vector<Record>& records = recording.records;
    size_t begin = 0;
    size_t end = records.size();
    int startups = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].kind != QLatin1String("startup"))
            continue;
        if (startups == options.start)
            begin = i;
        else if (startups == options.start + 1)
            end = i;
        ++startups;
    }
    if (startups > 0 && options.start >= startups) {
        *error = QStringLiteral("%1: the recording has %2 start-ups; no start-up %3")
                     .arg(options.file)
                     .arg(startups)
                     .arg(options.start);
        return nullptr;
    }
    const qint64 origin = begin < records.size() ? records[begin].time : 0;

    Exchange* waiting = nullptr;  // the request whose reply has not come yet
    Exchange* replied = nullptr;  // the last one answered: notices follow it
    replay->exchanges_.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        const Record& record = records[i];
        const QString& kind = record.kind;
        if (kind == QLatin1String("req")) {
            Exchange exchange;
            exchange.request = bytesOf(record.fields.value(QLatin1String("text")));
            const bool handshake = record.fields.value(QLatin1String("handshake")).toBool();
            exchange.key = replayKey(exchange.request, handshake);
            exchange.line = record.line;
            exchange.anytime = static_cast<int>(i) < recording.keptRecords;
            replay->exchanges_.push_back(std::move(exchange));
            waiting = &replay->exchanges_.back();
        } else if (kind == QLatin1String("rep") && waiting) {
            QByteArray bytes = bytesOf(record.fields.value(QLatin1String("text")));
            waiting->answer = Answer{Answer::Kind::Reply, bytes.append('\0'), 0};
            replied = waiting;
            waiting = nullptr;
        } else if (kind == QLatin1String("lost") && waiting) {
            const bool crashed = record.fields.value(QLatin1String("crashed")).toBool();
            waiting->answer = Answer{crashed ? Answer::Kind::Crash : Answer::Kind::Drop, {}, 0};
            replied = waiting;
            waiting = nullptr;
        } else if (kind == QLatin1String("notice")) {
            ReplayNotice notice{bytesOf(record.fields.value(QLatin1String("line"))) + '\n',
                                record.time - origin, record.line};
            if (options.paced)
                replay->paced_.push_back(std::move(notice));
            else if (replied && !options.speed)
                replied->notices.push_back(std::move(notice));
            else
                replay->initial_.push_back(std::move(notice));
        } else if (kind == QLatin1String("service")) {
            const QString state = record.fields.value(QLatin1String("state")).toString();
            if (state == QLatin1String("crashed"))
                replay->crashAtStart_ = true;
            else if (state == QLatin1String("running"))
                replay->neverListens_ = true;
            else
                replay->exitCode_ = record.fields.value(QLatin1String("exit")).toInt();
        }
    }
    while (replay->cursor_ < replay->exchanges_.size() &&
           replay->exchanges_[replay->cursor_].anytime)
        ++replay->cursor_;
    return replay;
}

int Replay::find(const QByteArray& key) const {
    if (!options_.keyed) {
        if (cursor_ < exchanges_.size() && exchanges_[cursor_].key == key)
            return static_cast<int>(cursor_);
        for (size_t i = 0; i < exchanges_.size(); ++i) {
            if (exchanges_[i].anytime && !exchanges_[i].used && exchanges_[i].key == key)
                return static_cast<int>(i);
        }
        return -1;
    }
    // Identical requests are answered in the order recorded: the first unused one.
    for (size_t i = 0; i < exchanges_.size(); ++i) {
        if (!exchanges_[i].used && exchanges_[i].key == key)
            return static_cast<int>(i);
    }
    return -1;
}

int Replay::closest(const QByteArray& key) const {
    if (!options_.keyed)
        return cursor_ < exchanges_.size() ? static_cast<int>(cursor_) : -1;
    int best = -1;
    int bestScore = -1;
    for (size_t i = 0; i < exchanges_.size(); ++i) {
        if (exchanges_[i].used)
            continue;
        const int score = commonPrefix(exchanges_[i].key, key);
        if (score > bestScore) {
            best = static_cast<int>(i);
            bestScore = score;
        }
    }
    return best;
}

Answer Replay::answer(const QByteArray& frame, bool handshake) {
    ++received_;
    const QByteArray key = replayKey(frame, handshake);
    const int index = find(key);
    if (index < 0) {
        const int near = closest(key);
        const QString nearText = near < 0
                                     ? QStringLiteral("none is left")
                                     : QStringLiteral("the closest is at line %1: %2")
                                           .arg(exchanges_[near].line)
                                           .arg(QString::fromUtf8(shown(exchanges_[near].request)));
        qCCritical(lcService).noquote()
            << QStringLiteral("Replay: request %1 has no match in the recording: %2; %3")
                   .arg(received_)
                   .arg(QString::fromUtf8(shown(frame)), nearText);
        if (handshake)
            return {Answer::Kind::Reply, QByteArrayLiteral("no match\0"), 0};
        const QJsonObject reply{
            {"code", 100},
            {"err",
             QStringLiteral("replay: no recorded request matches this one (%1)").arg(nearText)},
        };
        return {Answer::Kind::Reply, QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\0', 0};
    }
    Exchange& exchange = exchanges_[static_cast<size_t>(index)];
    exchange.used = true;
    while (cursor_ < exchanges_.size() && (exchanges_[cursor_].used || exchanges_[cursor_].anytime))
        ++cursor_;
    for (const ReplayNotice& notice : exchange.notices)
        due_.append(notice.line);
    qCDebug(lcService).noquote() << "Replay: request" << received_ << "matches line"
                                 << exchange.line;
    return exchange.answer;
}

QList<QByteArray> Replay::takeNoticesDue() {
    QList<QByteArray> due;
    due.swap(due_);
    return due;
}

QList<QByteArray> Replay::takeNoticesBefore(int recordLine) {
    QList<QByteArray> lines;
    for (; pacedSent_ < paced_.size() && paced_[pacedSent_].recordLine < recordLine; ++pacedSent_)
        lines.append(paced_[pacedSent_].line);
    return lines;
}

int Replay::remaining() const {
    int count = 0;
    for (const Exchange& exchange : exchanges_)
        count += exchange.used ? 0 : 1;
    return count;
}

}  // namespace omnivue
