#include "requestpeer.h"

#include "coreapplication.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QUuid>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace testsupport {

QByteArray okEnvelope(const QJsonValue& reply) {
    QJsonObject envelope{{"code", 0}, {"err", ""}, {"reply", reply}};
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

QByteArray errorEnvelope(int code, const QString& err) {
    QJsonObject envelope{{"code", code}, {"err", err}};
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

PeerScript inPieces(const QByteArray& bytes, int pieceSize, int pauseMs) {
    PeerScript script;
    for (int at = 0; at < bytes.size(); at += pieceSize)
        script.push_back({bytes.mid(at, pieceSize), pauseMs, false});
    return script;
}

// What the test thread and the peer thread share; everything under `mutex`.
struct RequestPeer::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Worker* worker = nullptr;
    int accepted = 0;
    int busy = 0;  // scripts posted or playing
    std::vector<QByteArray> requests;
    std::deque<PeerScript> answers;
    std::function<void(const QByteArray&)> hook;
};

// Owns the server and the current connection; lives on the peer thread only.
class RequestPeer::Worker : public QObject {
public:
    Worker(std::shared_ptr<State> state, const QString& name) : state(std::move(state)) {
        QObject::connect(&server, &QLocalServer::newConnection, this, [this] { accept(); });
        server.listen(name);
    }

    void play(const PeerScript& script) {
        for (const PeerStep& step : script) {
            if (!client)
                break;
            if (!step.bytes.isEmpty())
                client->write(step.bytes);
            if (step.pauseMsAfter > 0 || step.closeAfter)
                drain();
            if (step.pauseMsAfter > 0)
                QThread::msleep(static_cast<unsigned long>(step.pauseMsAfter));
            if (step.closeAfter)
                close();
        }
        drain();
        std::lock_guard<std::mutex> lock(state->mutex);
        --state->busy;
        state->changed.notify_all();
    }

    void close() {
        if (!client)
            return;
        client->disconnectFromServer();
        client->deleteLater();
        client = nullptr;
    }

private:
    void accept() {
        while (QLocalSocket* next = server.nextPendingConnection()) {
            close();
            client = next;
            inbound.clear();
            QObject::connect(client, &QLocalSocket::readyRead, this, [this] { receive(); });
            std::lock_guard<std::mutex> lock(state->mutex);
            ++state->accepted;
            state->changed.notify_all();
        }
    }

    void receive() {
        if (!client)
            return;
        inbound.append(client->readAll());
        int end;
        while ((end = inbound.indexOf('\0')) >= 0) {
            const QByteArray frame = inbound.left(end);
            inbound.remove(0, end + 1);
            PeerScript script;
            bool scripted = false;
            std::function<void(const QByteArray&)> hook;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                hook = state->hook;
            }
            if (hook)
                hook(frame);
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->requests.push_back(frame);
                if (!state->answers.empty()) {
                    script = std::move(state->answers.front());
                    state->answers.pop_front();
                    scripted = true;
                    ++state->busy;
                }
                state->changed.notify_all();
            }
            if (!scripted) {
                close();
                return;
            }
            play(script);
        }
    }

    // Blocks the peer thread until the connection has taken every queued byte.
    void drain() {
        while (client && client->bytesToWrite() > 0 && client->waitForBytesWritten(30000)) {
        }
    }

    std::shared_ptr<State> state;
    QLocalServer server;
    QLocalSocket* client = nullptr;  // child of `server`
    QByteArray inbound;
};

// Runs the worker's event loop; the worker is made and destroyed on this thread.
class RequestPeer::PeerThread : public QThread {
public:
    PeerThread(std::shared_ptr<State> state, QString name)
        : state(std::move(state)), name(std::move(name)) {}

protected:
    void run() override {
        Worker worker(state, name);
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->worker = &worker;
            state->changed.notify_all();
        }
        exec();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->worker = nullptr;
    }

private:
    std::shared_ptr<State> state;
    QString name;
};

RequestPeer::RequestPeer()
    : state(std::make_shared<State>()),
      name(QStringLiteral("capeer-") + QUuid::createUuid().toString(QUuid::WithoutBraces)) {
    ensureCoreApplication();
    thread = std::make_unique<PeerThread>(state, name);
    thread->start();
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [this] { return state->worker != nullptr; });
    worker = state->worker;
}

RequestPeer::~RequestPeer() {
    // The worker, its server and the connection are destroyed on the peer thread as it ends.
    thread->quit();
    thread->wait();
}

QString RequestPeer::serverName() const {
    return name;
}

bool RequestPeer::connectSocket(QLocalSocket& socket, std::chrono::milliseconds timeout) {
    int before;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        before = state->accepted;
    }
    socket.connectToServer(name);
    if (!socket.waitForConnected(static_cast<int>(timeout.count())))
        return false;
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout, [&] { return state->accepted > before; });
}

void RequestPeer::answer(PeerScript script) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->answers.push_back(std::move(script));
}

void RequestPeer::answerFrame(const QByteArray& text) {
    answer({{text + '\0', 0, false}});
}

void RequestPeer::answerOk(const QJsonValue& reply) {
    answerFrame(okEnvelope(reply));
}

void RequestPeer::onRequest(std::function<void(const QByteArray&)> hook) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->hook = std::move(hook);
}

void RequestPeer::sendNow(PeerScript script) {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        ++state->busy;
    }
    QMetaObject::invokeMethod(
        worker, [this, script = std::move(script)] { worker->play(script); }, Qt::QueuedConnection);
}

void RequestPeer::sendNow(const QByteArray& bytes) {
    sendNow(PeerScript{{bytes, 0, false}});
}

void RequestPeer::closeNow() {
    sendNow(PeerScript{{QByteArray(), 0, true}});
}

std::vector<QByteArray> RequestPeer::requests() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->requests;
}

bool RequestPeer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout, [&] { return state->requests.size() >= count; });
}

bool RequestPeer::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout, [&] { return state->busy == 0; });
}

}  // namespace testsupport
