// Fixture: a controller built without start-up whose request socket is connected to a
// RequestPeer, so a suite can script the service's replies and read the requests it got.
#pragma once

#include "apicontroller.h"
#include "controllerpeer.h"
#include "requestpeer.h"

#include <gtest/gtest.h>

namespace testsupport {

class PeeredControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.connectSocket(
            quarn::tellan_api::ApiControllerTestPeer::requestSocket(controller)));
    }

    // The request frames received so far, after waiting for `count` of them.
    std::vector<QByteArray> requestsAfter(size_t count) {
        EXPECT_TRUE(peer.waitForRequests(count));
        return peer.requests();
    }

    RequestPeer peer;  // declared first: the controller's socket closes before the peer ends
    quarn::tellan_api::ApiController controller;
};

}  // namespace testsupport
