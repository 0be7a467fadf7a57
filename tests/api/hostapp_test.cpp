// A host that brings its own Qt application: the library uses it and leaves it alone.
#include "crop_assist.h"
#include "logcapture.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using testsupport::LogCapture;

TEST(HostApplication, InitUsesItAndExitLeavesIt) {
    int argc = 1;
    char name[] = "host";
    char* argv[] = {name, nullptr};
    QCoreApplication host(argc, argv);
    LogCapture log;

    ASSERT_EQ(crop_assist_init(), 0) << log.dump();
    EXPECT_TRUE(crop_assist_is_initialized());
    EXPECT_EQ(log.countContaining(QtInfoMsg, "Qt Application not initialized"), 0) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), &host);

    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API unloaded"), 1) << log.dump();
    EXPECT_EQ(QCoreApplication::instance(), &host);
    EXPECT_FALSE(crop_assist_is_initialized());

    // Nothing of the library's is left for a second exit to release.
    log.clear();
    EXPECT_EQ(crop_assist_exit(), 0);
    EXPECT_EQ(log.count(QtDebugMsg, "Omnivue API not loaded"), 1) << log.dump();
}
