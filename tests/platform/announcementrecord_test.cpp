// The record's layout, readers waiting for it, a dead owner's remains taken over, nothing left
// behind (malformed records: fuzz target).
#include "announcementrecord.h"
#include "coreapplication.h"
#include "hostsystem.h"
#include "platform.h"
#include "service.h"

#include <QSharedMemory>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using quarn::tellan_api::SingleAppInstance;

TEST(Record, TheOwnerPublishesItsValueAndReadersWaitUntilItIsReady) {
    testsupport::ensureCoreApplication();
    // Run again as a child: an owner that dies before it is ready, without cleaning up.
    if (qEnvironmentVariableIsSet("CA_DYING_OWNER")) {
        SingleAppInstance dying(qEnvironmentVariable("CA_DYING_OWNER"), "dead");
        std::_Exit(dying.isPrimary() ? 0 : 1);
    }
    const std::set<std::string> before = testsupport::ipcObjects();
    const QString app = QString("PlatTest%1").arg(QCoreApplication::applicationPid());
    {
        // The owners below take over what it left: they are ready, and in the end nothing is left.
        testsupport::ScopedEnv dying("CA_DYING_OWNER", app.toStdString());
        const auto run = testsupport::runChild(QCoreApplication::applicationFilePath(),
                                               {"--gtest_filter=Record.*"});
        ASSERT_EQ(run.status, 0) << run.describe();
    }
    // The bytes up to the end the count gives (Windows maps whole pages).
    const auto raw = [&app] {
        QSharedMemory probe, segment;
        probe.setKey(app + "SingleAppInstanceShmem");
        segment.setNativeKey(QLatin1String(quarn::tellan_api::platform::globalNamePrefix()) +
                             probe.nativeKey());
        if (!segment.attach(QSharedMemory::ReadOnly))
            return QByteArray("none");
        const auto* bytes = static_cast<const uchar*>(segment.constData());
        const int size = std::min(segment.size(), 2 + 2 * (bytes[0] | bytes[1] << 8));
        return QByteArray(reinterpret_cast<const char*>(bytes), size).toHex();
    };
    // LE count, then LE UTF-16 units (a clef is a pair), at most 100; "" is published as "0".
    const QString mixed = QString::fromUtf8("A\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
    const struct {
        QString value, published;
        QByteArray bytes;
    } cases[] = {
        {mixed, mixed, "05004100e900ac2034d81edd"},
        {QString(150, 'J'), QString(100, 'J'), "6400" + QByteArray("4a00").repeated(100)},
        {QString(), "0", "01003000"},
    };
    for (const auto& c : cases) {
        SingleAppInstance owner(app, c.value);
        ASSERT_TRUE(owner.isPrimary());
        EXPECT_EQ(raw(), c.bytes);
        SingleAppInstance reader(app);
        EXPECT_FALSE(reader.isPrimary());
        auto waiting = std::async(std::launch::async, [&reader] { reader.waitForPrimary(); });
        EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        owner.waitForPrimary();  // the owner does not wait for itself
        owner.signalReady();
        EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(reader.readValue(), c.published);
        EXPECT_EQ(owner.readValue(), c.published);
        SingleAppInstance second(app);  // the first reader gave its count back
        second.waitForPrimary();
    }
    EXPECT_EQ(raw(), "none");
    EXPECT_EQ(testsupport::ipcAddedSince(before), std::set<std::string>{});
}
