#include "ringfile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <vector>

namespace quarn::tellan_api::recording {

namespace {

constexpr char kMagic[8] = {'C', 'A', 'R', 'I', 'N', 'G', '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr int64_t kControlBytes = 4096;
// Offsets in the control block; the counters are 8-byte aligned, so each store is whole.
constexpr int kVersionAt = 8;
constexpr int kSlotAt = 12;
constexpr int kKeptCapacityAt = 16;
constexpr int kRingSizeAt = 24;
constexpr int kHeadAt = 32;
constexpr int kRecordsAt = 40;
constexpr int kKeptLengthAt = 48;  // one for each slot

// Release stores: a counter that moves is never seen ahead of the bytes it counts.
void store64(uchar* at, uint64_t value) {
    __atomic_store_n(reinterpret_cast<uint64_t*>(at), qToLittleEndian(value), __ATOMIC_RELEASE);
}
void store32(uchar* at, uint32_t value) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(at), qToLittleEndian(value), __ATOMIC_RELEASE);
}

uint64_t load64(const QByteArray& bytes, int at) {
    return qFromLittleEndian<uint64_t>(bytes.constData() + at);
}

// The "t" a record line begins with.
QByteArray timeOf(const QByteArray& line) {
    const int comma = line.indexOf(',');
    return line.startsWith("{\"t\":") && comma > 5 ? line.mid(5, comma - 5) : QByteArray("0");
}

// Where a wrapped ring's records begin to replay: the first record before which no call that the
// ring records was under way, since the ring has forgotten how such a call began. A call began
// at its "began" (init and attach where they are recorded).
int firstWholeCall(const QList<QByteArray>& lines) {
    std::vector<double> times(static_cast<size_t>(lines.size()));
    std::vector<double> earliestBegan(static_cast<size_t>(lines.size()) + 1, 1e300);
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QJsonObject record = QJsonDocument::fromJson(lines[i]).object();
        const size_t at = static_cast<size_t>(i);
        times[at] = record.value(QLatin1String("t")).toDouble();
        earliestBegan[at] = earliestBegan[at + 1];
        if (record.value(QLatin1String("k")).toString() == QLatin1String("call")) {
            const QString function = record.value(QLatin1String("fn")).toString();
            const bool starts =
                function == QLatin1String("init") || function == QLatin1String("attach");
            earliestBegan[at] = std::min(
                earliestBegan[at], record.value(QLatin1String(starts ? "t" : "began")).toDouble());
        }
    }
    for (int i = 1; i < lines.size(); ++i) {
        if (earliestBegan[static_cast<size_t>(i)] > times[static_cast<size_t>(i) - 1])
            return i;
    }
    return lines.size();
}

}  // namespace

bool RingFile::create(QFile& file, int64_t size) {
    size = std::max(size, kSmallest);
    if (!file.resize(size))
        return false;
    base = file.map(0, size);
    if (!base)
        return false;
    // A sixteenth of the file for each kept area, in whole pages.
    keptCapacity = std::max<int64_t>(4096, (size / 16) & ~int64_t(4095));
    ringSize = size - kControlBytes - 2 * keptCapacity;
    head = records = 0;
    slot = 0;
    std::memset(base, 0, kControlBytes);
    std::memcpy(base, kMagic, sizeof kMagic);
    store32(base + kVersionAt, kVersion);
    store64(base + kKeptCapacityAt, static_cast<uint64_t>(keptCapacity));
    store64(base + kRingSizeAt, static_cast<uint64_t>(ringSize));
    return true;
}

void RingFile::append(const QByteArray& line) {
    if (!base)
        return;
    uchar* ring = base + kControlBytes + 2 * keptCapacity;
    // A record longer than the ring keeps its end.
    const int64_t size = std::min<int64_t>(line.size(), ringSize);
    const char* from = line.constData() + (line.size() - size);
    const int64_t at = static_cast<int64_t>(head % static_cast<uint64_t>(ringSize));
    const int64_t first = std::min(size, ringSize - at);
    std::memcpy(ring + at, from, static_cast<size_t>(first));
    std::memcpy(ring, from + first, static_cast<size_t>(size - first));
    head += static_cast<uint64_t>(size);
    ++records;
    store64(base + kRecordsAt, records);
    store64(base + kHeadAt, head);
}

void RingFile::setKept(const QByteArray& lines) {
    if (!base)
        return;
    int64_t length = lines.size();
    if (length > keptCapacity)
        length = lines.lastIndexOf('\n', static_cast<int>(keptCapacity) - 1) + 1;
    const int next = 1 - slot;
    std::memcpy(base + kControlBytes + next * keptCapacity, lines.constData(),
                static_cast<size_t>(length));
    store64(base + kKeptLengthAt + 8 * next, static_cast<uint64_t>(length));
    store32(base + kSlotAt, static_cast<uint32_t>(next));
    slot = next;
}

void RingFile::close(QFile& file) {
    if (base)
        file.unmap(base);
    base = nullptr;
}

bool isRingFile(const QByteArray& bytes) {
    return bytes.startsWith(QByteArray::fromRawData(kMagic, sizeof kMagic));
}

bool ringRecords(const QByteArray& bytes, QByteArray* lines, QString* error) {
    if (bytes.size() < kControlBytes || !isRingFile(bytes)) {
        *error = QStringLiteral("not a ring file");
        return false;
    }
    const uint32_t version = qFromLittleEndian<uint32_t>(bytes.constData() + kVersionAt);
    const uint32_t slot = qFromLittleEndian<uint32_t>(bytes.constData() + kSlotAt);
    const uint64_t keptCapacity = load64(bytes, kKeptCapacityAt);
    const uint64_t ringSize = load64(bytes, kRingSizeAt);
    const uint64_t head = load64(bytes, kHeadAt);
    const uint64_t records = load64(bytes, kRecordsAt);
    const uint64_t keptLength = slot < 2 ? load64(bytes, kKeptLengthAt + 8 * int(slot)) : ~0ull;
    if (version != kVersion) {
        *error =
            QStringLiteral("ring file version %1; this reader knows %2").arg(version).arg(kVersion);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(bytes.size());
    if (ringSize == 0 || ringSize > size || keptCapacity > size || keptLength > keptCapacity ||
        kControlBytes + 2 * keptCapacity + ringSize > size) {
        *error = QStringLiteral("damaged ring file: its parts do not fit its %1 bytes")
                     .arg(bytes.size());
        return false;
    }
    const int keptAt = static_cast<int>(kControlBytes + slot * keptCapacity);
    const QByteArray kept = bytes.mid(keptAt, static_cast<int>(keptLength));
    const QByteArray ring =
        bytes.mid(static_cast<int>(kControlBytes + 2 * keptCapacity), static_cast<int>(ringSize));
    QByteArray written;
    bool wrapped = head > ringSize;
    if (!wrapped) {
        written = ring.left(static_cast<int>(head));
    } else {
        const int at = static_cast<int>(head % ringSize);
        written = ring.mid(at) + ring.left(at);
        written.remove(0, written.indexOf('\n') + 1);  // the rest of an overwritten record
    }
    QList<QByteArray> ringLines = written.split('\n');
    ringLines.removeLast();  // after the last line feed
    if (wrapped)
        ringLines = ringLines.mid(firstWholeCall(ringLines));
    const QSet<QByteArray> inRing(ringLines.begin(), ringLines.end());

    QList<QByteArray> keptLines = kept.split('\n');
    keptLines.removeLast();
    if (keptLines.isEmpty()) {
        *error = QStringLiteral("damaged ring file: no header");
        return false;
    }
    lines->clear();
    QByteArray last = "0";
    for (int i = 0; i < keptLines.size(); ++i) {
        // The header first; then what the ring no longer holds, which is older than all it holds.
        if (i == 0 || !inRing.contains(keptLines[i])) {
            *lines += keptLines[i] + '\n';
            last = timeOf(keptLines[i]);
        }
    }
    const uint64_t forgotten = records - std::min<uint64_t>(records, ringLines.size());
    *lines += "{\"t\":" + (ringLines.isEmpty() ? last : timeOf(ringLines.first())) +
              ",\"th\":0,\"k\":\"ring\",\"evicted\":" +
              QByteArray::number(static_cast<qulonglong>(forgotten)) + "}\n";
    for (const QByteArray& line : ringLines)
        *lines += line + '\n';
    return true;
}

}  // namespace quarn::tellan_api::recording
