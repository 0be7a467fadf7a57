// The fixture of the suites that run the whole library against the stand-in service: a session
// with a scenario, the host's callbacks recorded, and the service's callback listener connected
// before the test starts (a notice sent earlier would reach nobody). The session must end cleanly.
#pragma once

#include "librarysession.h"
#include "logcapture.h"
#include "noticelog.h"

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

class SessionTest : public ::testing::Test {
protected:
    explicit SessionTest(const std::string& scenarioJson = "{}") : session(scenarioJson) {}

    void SetUp() override {
        ASSERT_EQ(session.initResult(), 0) << log.dump();
        ASSERT_TRUE(notices.install());
        ASSERT_TRUE(session.waitForCallbackConnections(1));
    }
    void TearDown() override { EXPECT_TRUE(session.exitCleanly()); }

    LogCapture log;
    LibrarySession session;
    NoticeLog notices;
};

}  // namespace testsupport
