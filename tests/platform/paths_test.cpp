// Where the running program and the code of this library live on disk.
#include "librarydirectory.h"
#include "logcapture.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

namespace platform = quarn::tellan_api::platform;

// The platform code is linked statically, so the binary holding it is this test program.
const QFileInfo thisBinary(QStringLiteral(PATHS_TEST_BINARY));

TEST(Paths, ExecutablePathIsThisProgram) {
    EXPECT_EQ(QString::fromStdString(platform::executablePath()), thisBinary.canonicalFilePath());
}

TEST(Paths, LibraryDirectoryIsWhereTheCodeIs) {
    // Elsewhere than the binary, so a path taken relative to the working directory shows.
    const QString workingDirectory = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QDir::rootPath()));
    std::string error;
    const std::string dir = platform::libraryDirectory(error);
    QDir::setCurrent(workingDirectory);
    EXPECT_EQ(error, "");
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/') << dir;
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(QDir(QString::fromStdString(dir)).canonicalPath(), thisBinary.canonicalPath());

    testsupport::LogCapture log;
    EXPECT_EQ(QDir(quarn::tellan_api::libraryDirectory()).canonicalPath(),
              thisBinary.canonicalPath());
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// The loader names a program by the (maybe relative) path it was started with; the directory
// must come out the same, so the check above is run again in a child started as "./name".
TEST(Paths, LibraryDirectoryHoldsForRelativeStart) {
    static int argc = 1;
    static char name[] = "platform_paths_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    QProcess child;
    child.setWorkingDirectory(thisBinary.canonicalPath());
    child.start("./" + thisBinary.fileName(),
                {"--gtest_filter=Paths.LibraryDirectoryIsWhereTheCodeIs"});
    ASSERT_TRUE(child.waitForFinished(30000));
    const QByteArray output = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

}  // namespace
