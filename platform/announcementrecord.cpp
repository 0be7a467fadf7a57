#include "announcementrecord.h"

#include "platform.h"

#include <QDebug>
#include <QFile>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QtEndian>
#include <QtGlobal>

#include <stdexcept>

namespace quarn::tellan_api {

namespace {

constexpr int maxValueUnits = 100;
constexpr int countBytes = 2;

// Machine-wide IPC names carry the system's global prefix so every session sees the same record.
QString globalName(const QString& name) {
    return QLatin1String(platform::globalNamePrefix()) + name;
}

QSystemSemaphore& makeGlobal(QSystemSemaphore& semaphore) {
    semaphore.setKey(globalName(semaphore.key()), 1, QSystemSemaphore::Open);
    return semaphore;
}

// Holds one count of a semaphore for a scope.
class SemaphoreHold {
public:
    explicit SemaphoreHold(QSystemSemaphore& semaphore) : semaphore_(semaphore) {
        semaphore_.acquire();
    }
    ~SemaphoreHold() { semaphore_.release(); }
    SemaphoreHold(const SemaphoreHold&) = delete;
    SemaphoreHold& operator=(const SemaphoreHold&) = delete;

private:
    QSystemSemaphore& semaphore_;
};

// Holds the segment's own lock for a scope. A segment opened by its native key has no lock
// semaphore in Qt, so lock() may fail; the record is then still safe to read because it is
// written once, under the construction semaphore, before any reader can attach.
class SegmentLock {
public:
    explicit SegmentLock(QSharedMemory& memory) : memory_(memory), locked_(memory.lock()) {}
    ~SegmentLock() {
        if (locked_)
            memory_.unlock();
    }
    SegmentLock(const SegmentLock&) = delete;
    SegmentLock& operator=(const SegmentLock&) = delete;

private:
    QSharedMemory& memory_;
    const bool locked_;
};

}  // namespace

class SingleAppInstance::Private {
public:
    Private(const QString& appName, QString value, bool readerOnly);

    QSharedMemory memory;
    bool attached = false;
    bool attachOnly;
    QSystemSemaphore lockSemaphore;
    QString createError;

private:
    void attachOrCreate(const QString& value);
    void reclaimOrphan();
    void publish(const QString& value);
};

SingleAppInstance::Private::Private(const QString& appName, QString value, bool readerOnly)
    : attachOnly(readerOnly),
      lockSemaphore(appName + QLatin1String("SingleAppInstanceSemaLck"), 1,
                    QSystemSemaphore::Open) {
    const QString base = appName + QLatin1String("SingleAppInstance");
    memory.setKey(base + QLatin1String("Shmem"));
    memory.setNativeKey(globalName(memory.nativeKey()));
    makeGlobal(lockSemaphore);

    value.truncate(maxValueUnits);
    if (value.isEmpty())
        value = QStringLiteral("0");

    // One process at a time decides between attaching and creating, so two that start
    // together never both create the record.
    QSystemSemaphore construction(base + QLatin1String("Sema"), 1, QSystemSemaphore::Open);
    SemaphoreHold hold(makeGlobal(construction));
    qDebug().noquote() << "Instance path:" << memory.nativeKey();
    attachOrCreate(value);
}

void SingleAppInstance::Private::attachOrCreate(const QString& value) {
    reclaimOrphan();
    if (memory.attach(QSharedMemory::ReadOnly)) {
        attached = true;
        return;
    }
    if (attachOnly)
        return;

    // Without a record no process holds a count of the readiness semaphore (an owner keeps its
    // record attached), so the new owner may take it over at 1: a count left at 0 by an owner
    // object that went away unready must not block it, and taking ownership removes a
    // semaphore that a crashed process left behind once this owner goes.
    lockSemaphore.setKey(lockSemaphore.key(), 1, QSystemSemaphore::Create);
    lockSemaphore.acquire();
    if (!memory.create(countBytes + 2 * value.size(), QSharedMemory::ReadWrite)) {
        createError = memory.errorString();
        return;
    }
    publish(value);
}

// A segment whose owner died without detaching outlives it on some systems; with nobody left
// holding it, it is no record and is removed so the key can be created afresh.
void SingleAppInstance::Private::reclaimOrphan() {
    const std::string nativeKey = QFile::encodeName(memory.nativeKey()).toStdString();
    if (platform::isOrphanedSegment(nativeKey))
        platform::removeOrphanedSegment(nativeKey);
}

void SingleAppInstance::Private::publish(const QString& value) {
    SegmentLock lock(memory);
    auto* bytes = static_cast<uchar*>(memory.data());
    qToLittleEndian<quint16>(static_cast<quint16>(value.size()), bytes);
    for (int i = 0; i < value.size(); ++i)
        qToLittleEndian<quint16>(value.at(i).unicode(), bytes + countBytes + 2 * i);
}

SingleAppInstance::SingleAppInstance(const QString& appName, const QString& value)
    : d(std::make_unique<Private>(appName, value, false)) {}

SingleAppInstance::SingleAppInstance(const QString& appName)
    : d(std::make_unique<Private>(appName, QString(), true)) {}

// The semaphore handle closes without a release and the segment detaches with the members.
SingleAppInstance::~SingleAppInstance() = default;

bool SingleAppInstance::isPrimary() const {
    return !d->attached;
}

QString SingleAppInstance::createError() const {
    return d->createError;
}

void SingleAppInstance::waitForPrimary() {
    if (!d->attached)
        return;
    // Give the count straight back so that any number of readers pass.
    if (d->lockSemaphore.acquire())
        d->lockSemaphore.release();
}

void SingleAppInstance::signalReady() {
    if (!d->attached && !d->attachOnly)
        d->lockSemaphore.release();
}

QString SingleAppInstance::readValue() {
    QSharedMemory& memory = d->memory;
    if (!memory.isAttached())
        throw std::runtime_error("Single app instance not initiated");
    SegmentLock lock(memory);
    const int size = memory.size();
    if (size < countBytes)
        throw std::runtime_error("Single app instance wrong raw data size");
    const auto* bytes = static_cast<const uchar*>(memory.constData());
    const int count = qFromLittleEndian<quint16>(bytes);
    if (count > maxValueUnits || size < countBytes + 2 * count)
        throw std::runtime_error("Single app instance wrong data size");
    QString text(count, Qt::Uninitialized);
    QChar* units = text.data();
    for (int i = 0; i < count; ++i)
        units[i] = QChar(qFromLittleEndian<quint16>(bytes + countBytes + 2 * i));
    return text;
}

}  // namespace quarn::tellan_api
