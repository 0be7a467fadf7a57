// Where the running program and the code of this library live on disk. The platform code is
// linked statically, so the binary holding it is this test program; it is run again from its own
// folder as "./name", as the loader names a program by the path it was started with.
#include "librarydirectory.h"
#include "logcapture.h"
#include "platform.h"
#include "service.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace platform = quarn::tellan_api::platform;

TEST(Paths, ExecutableAndLibraryDirectory) {
    const QFileInfo binary(QStringLiteral(PATHS_TEST_BINARY));
    EXPECT_EQ(QString::fromStdString(platform::executablePath()), binary.canonicalFilePath());
    // Elsewhere than the binary, so a path taken relative to the working directory shows.
    const QString workingDirectory = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QDir::rootPath()));
    std::string error;
    const std::string dir = platform::libraryDirectory(error);
    testsupport::LogCapture log;
    const QString logged = quarn::tellan_api::libraryDirectory();
    QDir::setCurrent(workingDirectory);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(QDir::isAbsolutePath(QString::fromStdString(dir))) << dir;
    EXPECT_EQ(dir.back(), QDir::separator().toLatin1());
    EXPECT_EQ(QDir(QString::fromStdString(dir)).canonicalPath(), binary.canonicalPath());
    EXPECT_EQ(QDir(logged).canonicalPath(), binary.canonicalPath());
    EXPECT_EQ(log.dump(), "");
    if (qEnvironmentVariableIsSet("PATHS_TEST_CHILD"))
        return;
    testsupport::ScopedEnv child("PATHS_TEST_CHILD", "1");
    const auto run =
        testsupport::runChild("./" + binary.fileName(), {}, {}, binary.canonicalPath());
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.describe();
}
