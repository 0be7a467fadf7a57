// The announcement record across real processes: the owner runs in record_owner, readers here.
// Each test uses an application name of its own and must leave no IPC object behind. (A dead
// owner's record is the fault suite's: a killed service.)
#include "singleappinstance.h"
#include "coreapplication.h"
#include "hostsystem.h"
#include "platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSharedMemory>
#include <QUrl>

#include <gtest/gtest.h>

#include <future>

using quarn::tellan_api::SingleAppInstance;

namespace {

// One record_owner process, ended in the destructor whatever the test did.
struct Owner {
    Owner(const QString& app, const QString& value, bool ready = true) {
        QStringList arguments{app, QUrl::toPercentEncoding(value)};
        process.start(RECORD_OWNER_PATH, ready ? arguments : arguments << "--no-ready");
    }
    ~Owner() {
        process.write("quit\n");
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(10000);
    }
    std::string line() {
        while (!process.canReadLine() && process.waitForReadyRead(10000)) {
        }
        return process.readLine().trimmed().toStdString();
    }
    std::string command(const char* text) {
        process.write(QByteArray(text) + "\n");
        return line();
    }
    void crash() {
        process.write("crash\n");
        process.waitForFinished(10000);
    }
    QProcess process;
};

// waitForPrimary on a thread of its own, so the test can watch it block.
std::future<void> waiting(SingleAppInstance& instance) {
    return std::async(std::launch::async, [&instance] { instance.waitForPrimary(); });
}

bool returns(std::future<void>& wait, int ms) {
    return wait.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

class Record : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureCoreApplication();
        app = QString("PlatTest") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() +
              QString::number(QCoreApplication::applicationPid());
    }
    void TearDown() override {
        const std::set<std::string> added = testsupport::ipcAddedSince(before);
        EXPECT_TRUE(added.empty()) << "left behind: " << *added.begin();
    }
    // The record's bytes as any process sees them.
    QByteArray raw() {
        QSharedMemory probe, segment;
        probe.setKey(app + "SingleAppInstanceShmem");
        segment.setNativeKey(QLatin1String(quarn::tellan_api::platform::globalNamePrefix()) +
                             probe.nativeKey());
        if (!segment.attach(QSharedMemory::ReadOnly))
            return "none";
        return QByteArray(static_cast<const char*>(segment.constData()), segment.size());
    }
    QString app;
    const std::set<std::string> before = testsupport::ipcObjects();
};

}  // namespace

TEST_F(Record, OwnerPublishesTheRecordByteForByte) {
    // Little-endian count, then little-endian UTF-16 units; the clef takes a surrogate pair; at
    // most 100 units; an empty value is published as "0".
    const QString mixed = QString::fromUtf8("A\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
    const struct {
        QString value, published;
        QByteArray bytes;
    } cases[] = {
        {mixed, mixed, QByteArray::fromHex("05004100e900ac2034d81edd")},
        {QString(150, 'J'), QString(100, 'J'),
         QByteArray::fromHex("6400") + QByteArray::fromHex("4a00").repeated(100)},
        {QString(), "0", QByteArray::fromHex("01003000")},
    };
    for (const auto& c : cases) {
        Owner owner(app, c.value);
        ASSERT_EQ(owner.line(), "created");
        EXPECT_EQ(raw().toHex(), c.bytes.toHex());
        SingleAppInstance reader(app);
        EXPECT_FALSE(reader.isPrimary());
        reader.waitForPrimary();
        EXPECT_EQ(reader.readValue(), c.published);
    }
}

TEST_F(Record, ReadersWaitForTheOwnerAndAnOwnerThatDiesUnreadyBlocksNobody) {
    {
        Owner first(app, "first", false);
        ASSERT_EQ(first.line(), "created");
        SingleAppInstance reader(app);
        auto wait = waiting(reader);
        EXPECT_FALSE(returns(wait, 300));
        first.crash();
        EXPECT_TRUE(returns(wait, 10000));
        EXPECT_EQ(reader.readValue(), "first");
    }
    // A later owner takes the readiness semaphore again, and readers wait for it.
    Owner later(app, "second", false);
    ASSERT_EQ(later.line(), "created");
    SingleAppInstance reader(app);
    auto wait = waiting(reader);
    EXPECT_FALSE(returns(wait, 300));
    EXPECT_EQ(later.command("ready"), "ready");
    EXPECT_TRUE(returns(wait, 10000));
    EXPECT_EQ(reader.readValue(), "second");
    SingleAppInstance second(app);  // the first reader gave its count back
    auto secondWait = waiting(second);
    EXPECT_TRUE(returns(secondWait, 10000));
}

TEST_F(Record, TheOwnerReadsItsOwnRecord) {
    SingleAppInstance owner(app, "own");
    ASSERT_TRUE(owner.isPrimary());
    auto wait = waiting(owner);
    EXPECT_TRUE(returns(wait, 10000)) << "the owner must not wait for itself";
    EXPECT_EQ(owner.readValue(), "own");
    Owner other(app, "ignored");
    EXPECT_EQ(other.line(), "attached");
    EXPECT_EQ(other.command("read"), "value:own");
}
