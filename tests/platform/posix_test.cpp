// The Linux side of what differs between systems: a System V segment that outlives its last user
// (as after a kill) is found and removed, with its key file; one still held is left alone.
#include "platform.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace platform = quarn::tellan_api::platform;

TEST(PosixPlatform, ASegmentWithoutUsersIsOrphanedAndRemoved) {
    QTemporaryDir dir;
    const std::string keyFile = dir.filePath("segment").toStdString();
    EXPECT_FALSE(platform::isOrphanedSegment(keyFile)) << "no segment yet";
    QFile(QString::fromStdString(keyFile)).open(QIODevice::WriteOnly);
    // Keyed as Qt keys its own segments, and made without attaching.
    const int id = ::shmget(::ftok(keyFile.c_str(), 'Q'), 64, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1);
    const auto exists = [id] {
        shmid_ds status{};
        return ::shmctl(id, IPC_STAT, &status) == 0;
    };
    void* address = ::shmat(id, nullptr, SHM_RDONLY);
    EXPECT_FALSE(platform::isOrphanedSegment(keyFile)) << "a process still holds it";
    platform::removeOrphanedSegment(keyFile);
    EXPECT_TRUE(exists());
    ::shmdt(address);
    EXPECT_TRUE(platform::isOrphanedSegment(keyFile));
    platform::removeOrphanedSegment(keyFile);
    EXPECT_FALSE(exists());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(keyFile))) << "the key file goes too";
    ::shmctl(id, IPC_RMID, nullptr);
}
