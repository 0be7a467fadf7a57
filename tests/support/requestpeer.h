// RequestPeer: an in-process stand-in for the service's end of the request socket. It serves a
// QLocalServer under a unique name on a thread of its own (the controller's reads block the test
// thread, so the peer must answer from elsewhere), records every request frame it receives and
// answers each one with the next scripted reply.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QLocalSocket;

namespace testsupport {

// One piece of a scripted answer: bytes to write, then an optional pause, then optionally
// closing the connection.
struct PeerStep {
    QByteArray bytes;
    int pauseMsAfter = 0;
    bool closeAfter = false;
};
using PeerScript = std::vector<PeerStep>;

// The envelope of a successful reply: {"code":0,"err":"","reply":<reply>} as compact JSON.
QByteArray okEnvelope(const QJsonValue& reply);
// The envelope of a failed reply: {"code":<code>,"err":<err>}.
QByteArray errorEnvelope(int code, const QString& err);
// `bytes` cut into pieces of `pieceSize` bytes with `pauseMs` after each.
PeerScript inPieces(const QByteArray& bytes, int pieceSize, int pauseMs);

class RequestPeer {
public:
    RequestPeer();
    ~RequestPeer();
    RequestPeer(const RequestPeer&) = delete;
    RequestPeer& operator=(const RequestPeer&) = delete;

    QString serverName() const;

    // Connects `socket` (owned by the calling thread) and waits until the peer has accepted it.
    bool connectSocket(QLocalSocket& socket,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Answers, in order, to the requests still to come. A request without a scripted answer makes
    // the peer close the connection, so a forgotten script fails a test instead of hanging it.
    void answer(PeerScript script);
    void answerFrame(const QByteArray& text);  // text plus the terminator
    void answerOk(const QJsonValue& reply);    // okEnvelope(reply) plus the terminator

    // Runs `hook` on the peer thread with each request frame, before its answer goes out; a
    // stand-in for what the service does with the request (e.g. reading a frame segment).
    void onRequest(std::function<void(const QByteArray&)> hook);

    // Plays `script` at once, without waiting for a request.
    void sendNow(PeerScript script);
    void sendNow(const QByteArray& bytes);
    void closeNow();

    // Request frames received so far, without their terminators.
    std::vector<QByteArray> requests() const;
    bool waitForRequests(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Waits until every byte queued so far has been handed to the connection.
    bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

private:
    struct State;
    class Worker;
    class PeerThread;

    std::shared_ptr<State> state;
    QString name;
    std::unique_ptr<PeerThread> thread;
    Worker* worker = nullptr;  // lives on `thread`, made and destroyed there
};

}  // namespace testsupport
