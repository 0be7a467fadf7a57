// The request/reply exchange against an in-process peer: framing, the persistent read buffer,
// limits, time-outs, connection loss and the reply envelope.
#include "apicontroller.h"
#include "apiexpect.h"
#include "controllerpeer.h"
#include "peeredcontroller.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <gtest/gtest.h>

#include <chrono>

using namespace quarn::tellan_api;
using testsupport::okEnvelope;
using testsupport::PeerScript;
using testsupport::throwsApi;

namespace {

class ExchangeTest : public testsupport::PeeredControllerTest {
protected:
    QByteArray& buffer() { return ApiControllerTestPeer::readBuffer(controller); }
};

TEST_F(ExchangeTest, RequestsAreCompactJsonWithOneTerminator) {
    peer.answerOk(true);
    peer.answerOk(QJsonValue());
    EXPECT_EQ(controller.sendRequest("isenabled", QString("cam 1"), -1), QJsonValue(true));
    EXPECT_EQ(controller.sendRequest("setenabled", QJsonObject{{"sn", "cam"}, {"bval", false}}, -1),
              QJsonValue());

    // A second terminator would have reached the peer as an extra, empty request.
    ASSERT_TRUE(peer.waitForRequests(2));
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], QByteArray(R"({"body":"cam 1","type":"isenabled"})"));
    EXPECT_EQ(requests[1], QByteArray(R"({"body":{"bval":false,"sn":"cam"},"type":"setenabled"})"));
    EXPECT_TRUE(buffer().isEmpty());
}

// Requests are written without a document around the body where they can be; the bytes must
// still be exactly the JSON writer's, whatever the text holds.
TEST_F(ExchangeTest, RequestTextIsTheJsonWritersForAnyBody) {
    const QString awkward =
        QString::fromUtf8("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f \xc3\xa9 \xe2\x82\xac ") +
        QString(QChar(0xd83d)) + QChar(0xde00) + QChar(0xd800) + 'x' + QChar(0xdc00) +
        QChar(0xffff);
    const QList<QJsonValue> bodies = {
        QJsonValue(awkward),  QJsonValue(QString()), QJsonObject{{"sn", awkward}, {"ival", 7}},
        QJsonArray{1, "two"}, QJsonValue(2.5),       QJsonValue(),
        QJsonValue(true)};
    for (int i = 0; i < bodies.size(); ++i)
        peer.answerOk(QJsonValue());
    for (const QJsonValue& body : bodies)
        controller.sendRequest(awkward, body, -1);

    ASSERT_TRUE(peer.waitForRequests(bodies.size()));
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), size_t(bodies.size()));
    for (int i = 0; i < bodies.size(); ++i) {
        const QJsonObject request{{"type", awkward}, {"body", bodies[i]}};
        EXPECT_EQ(requests[i], QJsonDocument(request).toJson(QJsonDocument::Compact)) << i;
    }
}

TEST_F(ExchangeTest, ReplySplitOverManyReadsIsJoined) {
    const QByteArray frame = okEnvelope(QJsonObject{{"p", 1.5}, {"t", -2}});
    peer.answer(testsupport::inPieces(frame + '\0', 3, 5));
    EXPECT_EQ(controller.sendRequest("ghomept", QString("cam"), -1),
              QJsonValue(QJsonObject{{"p", 1.5}, {"t", -2}}));
    EXPECT_TRUE(buffer().isEmpty());
}

TEST_F(ExchangeTest, SecondFrameOfOneReadWaitsInTheBuffer) {
    peer.sendNow(QByteArray("first", 6) + QByteArray("second", 7));
    ASSERT_TRUE(peer.waitUntilIdle());
    EXPECT_EQ(controller.readMessage(-1), QByteArray("first"));
    EXPECT_EQ(buffer(), QByteArray("second", 7));

    // Bytes still in the socket must stay there: the buffered frame is handed out first.
    peer.sendNow(QByteArray("third", 6));
    ASSERT_TRUE(peer.waitUntilIdle());
    EXPECT_EQ(controller.readMessage(-1), QByteArray("second"));
    EXPECT_TRUE(buffer().isEmpty());
    EXPECT_EQ(controller.readMessage(-1), QByteArray("third"));
}

TEST_F(ExchangeTest, LoneTerminatorIsAnEmptyFrameThatFailsToParse) {
    QJsonParseError expected;
    QJsonDocument::fromJson(QByteArray(), &expected);
    ASSERT_NE(expected.error, QJsonParseError::NoError);

    peer.answerFrame(QByteArray());
    EXPECT_TRUE(throwsApi([&] { controller.sendRequest("isaa", QString("cam"), -1); }, 100,
                          expected.errorString().toStdString()));
}

TEST_F(ExchangeTest, UnterminatedDataIsBoundedAndKept) {
    const QByteArray bulk(ApiController::kMaxUnstructuredBytes, 'x');
    peer.sendNow(bulk);
    // Exactly the limit is accepted: short reads time out until every byte is buffered.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (buffer().size() < bulk.size() && std::chrono::steady_clock::now() < deadline) {
        EXPECT_TRUE(
            throwsApi([&] { controller.readMessage(100); }, 100, "API message read timeout"));
    }
    ASSERT_EQ(buffer().size(), bulk.size());
    ASSERT_TRUE(peer.waitUntilIdle());

    peer.sendNow(QByteArray("y"));
    ASSERT_TRUE(peer.waitUntilIdle());
    EXPECT_TRUE(throwsApi([&] { controller.readMessage(-1); }, 100,
                          "Too much unstructured data from server"));
    EXPECT_TRUE(buffer() == bulk);
}

TEST_F(ExchangeTest, LateReplyIsPickedUpByTheNextRead) {
    const QByteArray frame = okEnvelope(7);
    const int half = frame.size() / 2;
    peer.answer({{frame.left(half), 0, false}});
    EXPECT_TRUE(throwsApi([&] { controller.sendRequest("gmode", QString("cam"), 300); }, 100,
                          "API message read timeout"));
    EXPECT_EQ(buffer(), frame.left(half));

    peer.sendNow(frame.mid(half) + '\0');
    EXPECT_EQ(controller.readReply(-1), QJsonValue(7));
    EXPECT_TRUE(buffer().isEmpty());
}

TEST_F(ExchangeTest, PeerClosingMidFrameIsAConnectionLoss) {
    peer.answer({{QByteArray(R"({"code":0,"err")"), 0, true}});
    EXPECT_TRUE(throwsApi([&] { controller.sendRequest("isenabled", QString("cam"), -1); }, 99,
                          "Failed to start read API reply - socket not connected"));
    EXPECT_EQ(buffer(), QByteArray(R"({"code":0,"err")"));
    EXPECT_FALSE(controller.isConnected());
    EXPECT_TRUE(throwsApi([&] { controller.sendRequest("isenabled", QString("cam"), -1); }, 99,
                          "Server disconnected"));
}

TEST_F(ExchangeTest, EnvelopeChecks) {
    struct Case {
        const char* reply;
        int32_t code;  // 0: the call succeeds and returns `value`
        const char* text;
        QJsonValue value;
    };
    const Case cases[] = {
        {R"([{"code":0,"err":"","reply":true}])", 100, "Expected single Object", {}},
        {R"({"code":0,"reply":true})", 100, "Missing root mandatory field", {}},
        {R"({"err":"","reply":true})", 100, "Missing root mandatory field", {}},
        {R"({"code":0,"err":""})", 100, "Missing API reply", {}},
        {R"({"code":7,"err":"busy \u00fc","reply":true})", 7, "busy \xc3\xbc", {}},
        {R"({"code":-3,"err":5})", -3, "", {}},
        {R"({"code":0,"err":"","reply":null})", 0, nullptr, QJsonValue()},
        {R"({"code":2.5,"err":"x","reply":[1]})", 0, nullptr, QJsonArray{1}},
        {R"({"code":"7","err":"x","reply":"r","extra":1})", 0, nullptr, QJsonValue("r")},
    };
    for (const Case& c : cases)
        peer.answerFrame(c.reply);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        if (c.code == 0) {
            EXPECT_EQ(controller.sendRequest("gmode", QString("cam"), -1), c.value);
        } else {
            EXPECT_TRUE(throwsApi([&] { controller.sendRequest("gmode", QString("cam"), -1); },
                                  c.code, c.text));
        }
    }
    EXPECT_TRUE(buffer().isEmpty());
}

}  // namespace
