// SingleAppInstance across real processes: the owner runs in record_owner, the reader here.
#include "singleappinstance.h"
#include "coreapplication.h"
#include "logcapture.h"
#include "platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QUrl>

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <stdexcept>
#include <vector>

using quarn::tellan_api::SingleAppInstance;
using namespace std::chrono_literals;

namespace {

constexpr int kTimeoutMs = 10000;

QString segmentNativeKey(const QString& app) {
    QSharedMemory probe;
    probe.setKey(app + "SingleAppInstanceShmem");
    return QLatin1String(quarn::tellan_api::platform::globalNamePrefix()) + probe.nativeKey();
}

// The record's bytes as any process sees them through the same native key.
QByteArray rawRecord(const QString& app) {
    QSharedMemory segment;
    segment.setNativeKey(segmentNativeKey(app));
    if (!segment.attach(QSharedMemory::ReadOnly))
        return QByteArray("<no segment>");
    return QByteArray(static_cast<const char*>(segment.constData()), segment.size());
}

std::string readError(SingleAppInstance& instance) {
    try {
        instance.readValue();
        return std::string();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

// One record_owner process, ended in the destructor whatever the test did.
class OwnerProcess {
public:
    OwnerProcess(const QString& app, const QString& value, bool ready = true) {
        QStringList arguments{app, QString::fromLatin1(QUrl::toPercentEncoding(value))};
        if (!ready)
            arguments << "--no-ready";
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(RECORD_OWNER_PATH, arguments);
    }
    ~OwnerProcess() {
        if (process_.state() != QProcess::NotRunning && !quit())
            kill();
    }

    // The next output line; "" when none comes in time.
    std::string line() {
        QElapsedTimer timer;
        timer.start();
        while (!process_.canReadLine()) {
            const int left = kTimeoutMs - static_cast<int>(timer.elapsed());
            if (left <= 0 || !process_.waitForReadyRead(left))
                return std::string();
        }
        return process_.readLine().trimmed().toStdString();
    }
    std::string command(const char* text) {
        send(text);
        return line();
    }
    bool quit() {
        send("quit");
        return process_.waitForFinished(kTimeoutMs) &&
               process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    // Dies from SIGKILL: nothing is detached, released or removed.
    void crash() {
        send("crash");
        ASSERT_TRUE(process_.waitForFinished(kTimeoutMs));
        ASSERT_EQ(process_.exitStatus(), QProcess::CrashExit);
    }
    void kill() {
        process_.kill();
        process_.waitForFinished(kTimeoutMs);
    }

private:
    void send(const char* text) {
        process_.write(text);
        process_.write("\n");
        process_.waitForBytesWritten(kTimeoutMs);
    }

    QProcess process_;
};

// Runs waitForPrimary on a thread of its own so the test can watch it block. If it is still
// blocked at the end, `unblock` frees it so the test ends instead of hanging.
class Waiter {
public:
    Waiter(SingleAppInstance& instance, std::function<void()> unblock)
        : unblock_(std::move(unblock)),
          done_(std::async(std::launch::async, [&instance] { instance.waitForPrimary(); })) {}
    ~Waiter() {
        if (returnsWithin(0ms))
            return;
        unblock_();
        if (!returnsWithin(10s)) {
            // The future would wait forever; a broken wait must fail the run, not hang it.
            std::fprintf(stderr, "waitForPrimary stays blocked; giving up\n");
            std::abort();
        }
    }
    bool returnsWithin(std::chrono::milliseconds limit) {
        return done_.wait_for(limit) == std::future_status::ready;
    }

private:
    std::function<void()> unblock_;
    std::future<void> done_;
};

// A System V object behind a record, found through the key file Qt keeps for it. Known by its
// id: a key is reused as soon as another file gets the deleted key file's inode.
struct IpcObject {
    QString file;
    bool segment;
    int id;

    bool exists() const {
        if (segment) {
            shmid_ds status{};
            return ::shmctl(id, IPC_STAT, &status) == 0;
        }
        return ::semctl(id, 0, GETVAL) != -1;
    }
    void remove() const {
        if (segment)
            ::shmctl(id, IPC_RMID, nullptr);
        else
            ::semctl(id, 0, IPC_RMID);
    }
};

// Each test uses application names of its own and checks that it leaves no segment, semaphore
// or key file behind.
class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureCoreApplication();
        // Letters only: Qt keeps just the letters of a key in its file names.
        app = QString("PlatTest") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (const QChar digit : QString::number(::getpid()))
            app += QChar('a' + digit.digitValue());
        nativeKey = segmentNativeKey(app);
    }
    void TearDown() override {
        const QStringList files = keyFiles();
        EXPECT_TRUE(files.empty()) << "left behind: " << files.join(' ').toStdString();
        for (const QString& file : files)
            QFile::remove(file);
        for (const IpcObject& object : captured) {
            EXPECT_FALSE(object.exists()) << "left behind: " << object.file.toStdString();
            object.remove();
        }
    }

    QStringList keyFiles() const {
        const QStringList pattern{"qipc_*" + app + "SingleAppInstance*"};
        QStringList files;
        for (const QFileInfo& file : QDir(QDir::tempPath()).entryInfoList(pattern, QDir::Files))
            files << file.filePath();
        return files;
    }

    // Remembers the objects whose key files exist now; their keys cannot be derived later.
    void captureIpc() {
        for (const QString& file : keyFiles()) {
            const bool segment = QFileInfo(file).fileName().startsWith("qipc_sharedmemory_");
            const key_t key = ::ftok(QFile::encodeName(file).constData(), 'Q');
            const int id = key == -1 ? -1 : segment ? ::shmget(key, 0, 0) : ::semget(key, 0, 0);
            bool known = id == -1;
            for (const IpcObject& object : captured)
                known = known || (object.id == id && object.segment == segment);
            if (!known)
                captured.push_back({file, segment, id});
        }
    }
    const IpcObject* segment() const {
        for (const IpcObject& object : captured)
            if (object.segment)
                return &object;
        return nullptr;
    }

    QString app;
    QString nativeKey;
    std::vector<IpcObject> captured;
};

TEST_F(RecordTest, OwnerPublishesRecordByteForByte) {
    const QString digits = "0123456789";
    QByteArray digitUnits;
    for (const QChar digit : digits)
        digitUnits += QByteArray(1, char(digit.unicode())) + QByteArray(1, '\0');
    // Little-endian count, then little-endian UTF-16 units; the clef takes a surrogate pair.
    const QString mixed = QString::fromUtf8("A\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
    const struct {
        QString value;
        QString published;
        QByteArray bytes;
    } cases[] = {
        {mixed, mixed, QByteArray::fromHex("05004100e900ac2034d81edd")},
        {digits.repeated(15), digits.repeated(10),
         QByteArray::fromHex("6400") + digitUnits.repeated(10)},
        {QString(), "0", QByteArray::fromHex("01003000")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toStdString());
        OwnerProcess owner(app, c.value);
        ASSERT_EQ(owner.line(), "created");
        captureIpc();
        EXPECT_EQ(rawRecord(app).toHex().toStdString(), c.bytes.toHex().toStdString());
        {
            testsupport::LogCapture log;
            SingleAppInstance reader(app);
            EXPECT_EQ(log.count(QtDebugMsg, "Instance path: " + nativeKey.toStdString()), 1)
                << log.dump();
            EXPECT_FALSE(reader.isPrimary());
            Waiter waiter(reader, [&owner] { owner.kill(); });
            EXPECT_TRUE(waiter.returnsWithin(10s));
            EXPECT_EQ(reader.readValue(), c.published);
        }
        EXPECT_TRUE(owner.quit());
    }
}

TEST_F(RecordTest, ReadersWaitUntilOwnerIsReady) {
    OwnerProcess owner(app, "suffix", false);
    ASSERT_EQ(owner.line(), "created");
    captureIpc();
    SingleAppInstance reader(app);
    ASSERT_FALSE(reader.isPrimary());
    Waiter waiter(reader, [&owner] { owner.kill(); });
    EXPECT_FALSE(waiter.returnsWithin(300ms));
    EXPECT_EQ(owner.command("ready"), "ready");
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_EQ(reader.readValue(), "suffix");
    // The first reader gave its count back, so later ones pass as well.
    SingleAppInstance second(app);
    Waiter secondWaiter(second, [&owner] { owner.kill(); });
    EXPECT_TRUE(secondWaiter.returnsWithin(10s));
}

TEST_F(RecordTest, OwnerDyingUnreadyBlocksNeitherReadersNorLaterOwners) {
    OwnerProcess first(app, "first", false);
    ASSERT_EQ(first.line(), "created");
    captureIpc();
    {
        SingleAppInstance reader(app);
        Waiter waiter(reader, [&first] { first.kill(); });
        EXPECT_FALSE(waiter.returnsWithin(200ms));
        first.crash();
        EXPECT_TRUE(waiter.returnsWithin(10s));
        EXPECT_EQ(reader.readValue(), "first");
    }
    // A later owner has to take the readiness semaphore again; in a process of its own so a
    // stuck constructor shows as a missing line rather than a hung test.
    OwnerProcess later(app, "second", false);
    ASSERT_EQ(later.line(), "created");
    captureIpc();
    SingleAppInstance reader(app);
    ASSERT_FALSE(reader.isPrimary());
    Waiter waiter(reader, [&later] { later.kill(); });
    EXPECT_FALSE(waiter.returnsWithin(200ms));
    EXPECT_EQ(later.command("ready"), "ready");
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_EQ(reader.readValue(), "second");
}

TEST_F(RecordTest, RecordOfCrashedOwnerDoesNotCount) {
    OwnerProcess crashed(app, "gone");
    ASSERT_EQ(crashed.line(), "created");
    captureIpc();
    crashed.crash();
    ASSERT_NE(segment(), nullptr);
    ASSERT_TRUE(segment()->exists()) << "the dead owner's segment should outlive it";
    {
        SingleAppInstance reader(app);
        EXPECT_TRUE(reader.isPrimary());
        EXPECT_EQ(readError(reader), "Single app instance not initiated");
    }
    EXPECT_FALSE(segment()->exists());
    OwnerProcess fresh(app, "fresh");
    EXPECT_EQ(fresh.line(), "created");
    EXPECT_EQ(fresh.command("read"), "value:fresh");
}

TEST_F(RecordTest, ReaderRefusesMalformedRecords) {
    {
        SingleAppInstance nothing(app);
        EXPECT_TRUE(nothing.isPrimary());
        EXPECT_EQ(readError(nothing), "Single app instance not initiated");
    }
    const QByteArray hundred =
        QByteArray::fromHex("6400") + QByteArray::fromHex("4a00").repeated(100);
    const struct {
        QByteArray bytes;
        std::string error;
        QString value;
    } cases[] = {
        {QByteArray(1, '\x01'), "Single app instance wrong raw data size", ""},
        {QByteArray::fromHex("6500") + QByteArray(202, 'x'), "Single app instance wrong data size",
         ""},
        {QByteArray::fromHex("0400410042004300"), "Single app instance wrong data size", ""},
        {hundred, "", QString(100, 'J')},
        {QByteArray::fromHex("0000"), "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().toStdString());
        // A faulty owner: the segment written by hand.
        QSharedMemory raw;
        raw.setNativeKey(nativeKey);
        ASSERT_TRUE(raw.create(c.bytes.size())) << raw.errorString().toStdString();
        std::memcpy(raw.data(), c.bytes.constData(), static_cast<size_t>(c.bytes.size()));
        captureIpc();
        SingleAppInstance reader(app);
        EXPECT_FALSE(reader.isPrimary());
        EXPECT_EQ(readError(reader), c.error);
        if (c.error.empty()) {
            EXPECT_EQ(reader.readValue(), c.value);
        }
    }
}

TEST_F(RecordTest, OwnerReadsItsOwnRecord) {
    SingleAppInstance owner(app, "own");
    ASSERT_TRUE(owner.isPrimary());
    captureIpc();
    {
        Waiter waiter(owner, [&owner] { owner.signalReady(); });
        EXPECT_TRUE(waiter.returnsWithin(10s)) << "the owner must not wait for itself";
    }
    EXPECT_EQ(owner.readValue(), "own");
    OwnerProcess other(app, "ignored");
    EXPECT_EQ(other.line(), "attached");
    EXPECT_EQ(other.command("read"), "value:own");
}

TEST_F(RecordTest, OwnerThatCannotCreateItsRecordWarnsAndHasNone) {
    // Key files cannot be made in /proc, so the segment cannot be created.
    QProcess owner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", "/proc");
    owner.setProcessEnvironment(environment);
    owner.start(RECORD_OWNER_PATH, {app, "value"});
    owner.write("read\nquit\n");
    ASSERT_TRUE(owner.waitForFinished(kTimeoutMs));
    const QList<QByteArray> lines = owner.readAllStandardOutput().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0].toStdString(), "created");
    EXPECT_EQ(lines[1].toStdString(), "error:Single app instance not initiated");
    const QByteArray errors = owner.readAllStandardError();
    // KeyError (3), then Qt's text for it.
    EXPECT_TRUE(errors.contains("\nSingleAppInstance: 3 QSharedMemory::")) << errors.toStdString();
}

}  // namespace
