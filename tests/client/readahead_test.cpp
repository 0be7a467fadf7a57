// How much of a flood of unterminated bytes the request socket takes in: no more than its
// read-ahead beyond the reader's own limit, however much the peer sends and however often the
// connection is polled afterwards, as the API thread's idle event loop would.
#include "apicontroller.h"
#include "apiexpect.h"
#include "peeredcontroller.h"

#include <gtest/gtest.h>

#include <chrono>

using quarn::tellan_api::ApiController;
using quarn::tellan_api::ApiControllerTestPeer;
using testsupport::throwsApi;

namespace {

class ReadAheadTest : public testsupport::PeeredControllerTest {};

TEST_F(ReadAheadTest, AFloodBeyondTheLimitIsNotTakenIn) {
    const QByteArray flood(3 * ApiController::kMaxUnstructuredBytes, 'x');
    peer.sendNow(flood);
    EXPECT_TRUE(throwsApi([&] { controller.readMessage(-1); }, 100,
                          "Too much unstructured data from server"));

    QLocalSocket& socket = ApiControllerTestPeer::requestSocket(controller);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline &&
           socket.bytesAvailable() <= ApiController::kSocketReadAheadBytes) {
        EXPECT_TRUE(controller.isConnected());
    }
    EXPECT_LE(socket.bytesAvailable(), ApiController::kSocketReadAheadBytes);
    EXPECT_LE(ApiControllerTestPeer::readBuffer(controller).size(),
              ApiController::kMaxUnstructuredBytes);
}

}  // namespace
