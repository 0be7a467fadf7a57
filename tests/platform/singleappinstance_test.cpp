// SingleAppInstance across real processes: the owner runs in record_owner, the reader here.
#include "singleappinstance.h"
#include "logcapture.h"
#include "platform.h"

#include <QCoreApplication>
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

void ensureCoreApplication() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "platform_singleappinstance_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

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

// A System V object behind a record, found through the key file Qt keeps for it.
struct IpcObject {
    QString file;
    bool segment;
    key_t key;

    bool exists() const { return segment ? ::shmget(key, 0, 0) != -1 : ::semget(key, 0, 0) != -1; }
    void remove() const {
        if (segment)
            ::shmctl(::shmget(key, 0, 0), IPC_RMID, nullptr);
        else
            ::semctl(::semget(key, 0, 0), 0, IPC_RMID);
        QFile::remove(file);
    }
};

// Each test uses application names of its own and checks that it leaves no segment, semaphore
// or key file behind.
class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureCoreApplication();
        // Letters only: Qt keeps just the letters of a key in its file names.
        app = QString("PlatTest") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (const QChar digit : QString::number(::getpid()))
            app += QChar('a' + digit.digitValue());
        nativeKey = segmentNativeKey(app);
    }
    void TearDown() override {
        captureIpc();
        for (const IpcObject& object : captured) {
            EXPECT_FALSE(object.exists()) << "left behind: " << object.file.toStdString();
            EXPECT_FALSE(QFile::exists(object.file)) << object.file.toStdString();
            object.remove();
        }
    }

    // Remembers the objects whose key files exist now; their keys cannot be derived later.
    void captureIpc() {
        const QStringList pattern{"qipc_*" + app + "SingleAppInstance*"};
        for (const QFileInfo& file : QDir(QDir::tempPath()).entryInfoList(pattern, QDir::Files)) {
            const key_t key = ::ftok(QFile::encodeName(file.filePath()).constData(), 'Q');
            bool known = false;
            for (const IpcObject& object : captured)
                known = known || object.key == key;
            if (!known && key != -1)
                captured.push_back(
                    {file.filePath(), file.fileName().startsWith("qipc_sharedmemory_"), key});
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
    QString digits150, digits100;
    QByteArray digitBytes("\x64\x00", 2);
    for (int i = 0; i < 150; ++i)
        digits150 += QChar('0' + i % 10);
    digits100 = digits150.left(100);
    for (const QChar c : digits100)
        digitBytes += QByteArray(1, char(c.unicode())) + QByteArray(1, '\0');
    const struct {
        QString value;
        QString published;
        QByteArray bytes;
    } cases[] = {
        {QString::fromUtf8("A\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"),
         QString::fromUtf8("A\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"),
         QByteArray::fromHex("0500"
                             "4100"
                             "e900"
                             "ac20"
                             "34d8"
                             "1edd")},
        {digits150, digits100, digitBytes},
        {QString(), "0",
         QByteArray::fromHex("0100"
                             "3000")},
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
    QByteArray hundred = QByteArray::fromHex("6400");
    for (int i = 0; i < 100; ++i)
        hundred += QByteArray::fromHex("4a00");
    const struct {
        QByteArray bytes;
        std::string error;
        QString value;
    } cases[] = {
        {QByteArray(1, '\x01'), "Single app instance wrong raw data size", ""},
        {QByteArray::fromHex("6500") + QByteArray(202, 'x'), "Single app instance wrong data size",
         ""},
        {QByteArray::fromHex("0400"
                             "4100"
                             "4200"
                             "4300"),
         "Single app instance wrong data size", ""},
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

}  // namespace
