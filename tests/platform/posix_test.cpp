// The Linux side of the behaviour that differs between systems (platform/README-platform.md):
// System V segments that outlive their users, and how a child's end is reported.
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>
#include <utility>

namespace {

namespace platform = quarn::tellan_api::platform;

// A System V segment keyed like Qt keys its own (ftok of a key file with 'Q'), created without
// attaching, which is what a segment looks like after its last user was killed. Removed on scope
// exit if the code under test did not remove it.
class RawSegment {
public:
    explicit RawSegment(const std::string& keyFile) {
        QFile file(QString::fromStdString(keyFile));
        if (file.open(QIODevice::WriteOnly))
            file.close();
        id_ = ::shmget(::ftok(keyFile.c_str(), 'Q'), 64, IPC_CREAT | IPC_EXCL | 0600);
    }
    ~RawSegment() {
        if (address_)
            ::shmdt(address_);
        ::shmctl(id_, IPC_RMID, nullptr);
    }
    RawSegment(const RawSegment&) = delete;
    RawSegment& operator=(const RawSegment&) = delete;

    int id() const { return id_; }
    bool exists() const {
        shmid_ds status{};
        return ::shmctl(id_, IPC_STAT, &status) == 0;
    }
    void attach() { address_ = ::shmat(id_, nullptr, SHM_RDONLY); }
    void detach() {
        ::shmdt(address_);
        address_ = nullptr;
    }

private:
    int id_ = -1;
    void* address_ = nullptr;
};

TEST(PosixPlatform, SegmentWithoutUsersIsOrphanedAndRemoved) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string keyFile = QDir(dir.path()).filePath("segment").toStdString();
    EXPECT_FALSE(platform::isOrphanedSegment(keyFile)) << "no segment yet";

    RawSegment segment(keyFile);
    ASSERT_NE(segment.id(), -1);
    segment.attach();
    EXPECT_FALSE(platform::isOrphanedSegment(keyFile)) << "a process still holds it";
    platform::removeOrphanedSegment(keyFile);
    EXPECT_TRUE(segment.exists());

    segment.detach();
    EXPECT_TRUE(platform::isOrphanedSegment(keyFile));
    platform::removeOrphanedSegment(keyFile);
    EXPECT_FALSE(segment.exists());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(keyFile))) << "the key file goes too";
}

// Machine-wide names need no prefix here: Qt turns a key into a file path, whose System V key
// is what the orphan check above looks up.
TEST(PosixPlatform, NativeKeysAreFilePaths) {
    EXPECT_STREQ(platform::globalNamePrefix(), "");
    QSharedMemory memory(
        QStringLiteral("PosixPlatformTest%1").arg(QCoreApplication::applicationPid()));
    EXPECT_TRUE(QDir::isAbsolutePath(memory.nativeKey())) << memory.nativeKey().toStdString();
    ASSERT_TRUE(memory.create(16)) << memory.errorString().toStdString();
    const std::string nativeKey = QFile::encodeName(memory.nativeKey()).toStdString();
    EXPECT_FALSE(platform::isOrphanedSegment(nativeKey)) << "held by this process";
}

// The service's end as QProcess reports it here: any death by a signal is a crash (the library's
// code 97), including the SIGTERM of terminate() and the SIGKILL of kill(); an exit code, such
// as a start-up result, comes through as a normal exit.
TEST(PosixPlatform, ChildEndedBySignalIsACrash) {
    static int argc = 1;
    static char name[] = "platform_posix_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);

    const auto run = [](const QString& script, void (QProcess::*stop)()) {
        QProcess child;
        child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        EXPECT_TRUE(child.waitForStarted(10000));
        if (stop)
            (child.*stop)();
        EXPECT_TRUE(child.waitForFinished(10000));
        return std::make_pair(child.exitStatus(), child.exitCode());
    };
    EXPECT_EQ(run(QStringLiteral("ulimit -c 0; kill -ABRT $$"), nullptr).first,
              QProcess::CrashExit);
    EXPECT_EQ(run(QStringLiteral("exec sleep 30"), &QProcess::terminate).first,
              QProcess::CrashExit);
    EXPECT_EQ(run(QStringLiteral("exec sleep 30"), &QProcess::kill).first, QProcess::CrashExit);
    EXPECT_EQ(run(QStringLiteral("exit 97"), nullptr), std::make_pair(QProcess::NormalExit, 97));
}

}  // namespace
