// Fuzz target: record bytes as an owner publishes them (empty: none), read as the layout says.
#include "harness.h"

#include "platform.h"
#include "announcementrecord.h"

#include <QCoreApplication>
#include <QSharedMemory>
#include <QtEndian>

#include <cstring>
#include <stdexcept>
#include <string>

using quarn::tellan_api::SingleAppInstance;

namespace {

constexpr size_t kMaxInput = 4096;  // the largest valid record has 202 bytes

// A name of this process's own, so that no running service's record is touched.
QString appName() {
    return QStringLiteral("CropAssistFuzz%1").arg(QCoreApplication::applicationPid());
}

QString segmentNativeKey() {
    QSharedMemory probe;
    probe.setKey(appName() + QLatin1String("SingleAppInstanceShmem"));
    return QLatin1String(quarn::tellan_api::platform::globalNamePrefix()) + probe.nativeKey();
}

std::string expectedFailure(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return "Single app instance not initiated";
    if (bytes.size() < 2)
        return "Single app instance wrong raw data size";
    const int count = qFromLittleEndian<quint16>(bytes.constData());
    if (count > 100 || bytes.size() < 2 + 2 * count)
        return "Single app instance wrong data size";
    return std::string();
}

QString expectedValue(const QByteArray& bytes) {
    const int count = qFromLittleEndian<quint16>(bytes.constData());
    QString value;
    for (int i = 0; i < count; ++i)
        value.append(QChar(qFromLittleEndian<quint16>(bytes.constData() + 2 + 2 * i)));
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    fuzzsupport::setUp();
    const QByteArray bytes = fuzzsupport::bytesOf(data, size);

    QSharedMemory published;
    QByteArray mapped;  // what a reader sees: Windows maps whole pages, the rest zero
    if (!bytes.isEmpty()) {
        published.setNativeKey(segmentNativeKey());
        fuzzsupport::require(published.create(bytes.size(), QSharedMemory::ReadWrite),
                             "the record's segment can be made");
        std::memset(published.data(), 0, static_cast<size_t>(published.size()));
        std::memcpy(published.data(), bytes.constData(), static_cast<size_t>(bytes.size()));
        mapped = QByteArray(static_cast<const char*>(published.constData()), published.size());
    }

    SingleAppInstance reader(appName());
    fuzzsupport::require(reader.isPrimary() == bytes.isEmpty(), "a reader attaches to a record");
    const std::string failure = expectedFailure(mapped);
    try {
        const QString value = reader.readValue();
        fuzzsupport::require(failure.empty(), "a malformed record is refused");
        fuzzsupport::require(value == expectedValue(mapped), "the value is read unit by unit");
    } catch (const std::runtime_error& e) {
        fuzzsupport::require(failure == e.what(),
                             "a record is refused for the reason its bytes give");
    }
    return 0;
}
