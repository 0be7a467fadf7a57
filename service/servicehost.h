// ServiceHost: the part of the service that hosts reach. Its request server answers NUL-framed
// JSON requests through the device simulator unless a script says otherwise; its callback server
// pushes device lines; it keeps a record of the requests received.
#pragma once

#include "replay.h"
#include "requestsession.h"
#include "scenario.h"
#include "simulator.h"

#include <QByteArray>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <vector>

QT_BEGIN_NAMESPACE
class QJsonDocument;
class QLocalSocket;
QT_END_NAMESPACE

namespace omnivue {

class ServiceHost : public QObject {
    Q_OBJECT
public:
    enum class Connections { Request, Callback, All };

    // Oldest requests are forgotten beyond this many, so a long run by hand stays bounded.
    static constexpr int kMaxRecordedRequests = 10000;

    // `simulator` must outlive the host. The scenario gives the handshake behaviour, the "ahsh"
    // answer and the initial per-command scripts.
    ServiceHost(QString suffix, DeviceSimulator& simulator, const Scenario& scenario,
                QObject* parent = nullptr);
    ~ServiceHost() override;

    // Starts the request server "ZuzoRerazuIO_<suffix>" and, unless the scenario leaves it out,
    // the callback server "ZuzoRerazuO_<suffix>". On failure returns false and sets `error`.
    bool listen(QString* error);
    // Stops both servers and ends every connection.
    void close();
    // Stops both servers, which removes their names; the connections made stay open.
    void stopListening();

    const QString& suffix() const { return suffix_; }

    // Writes `bytes` to every callback connection.
    void broadcast(const QByteArray& bytes);
    // Ends the host connections of one kind; the servers go on listening.
    void dropConnections(Connections which);
    int requestConnectionCount() const { return static_cast<int>(sessions_.size()); }
    int callbackConnectionCount() const { return static_cast<int>(callbackSockets_.size()); }

    // Answers from a recorded session instead of the simulator; `replay` outlives the host.
    void setReplay(Replay* replay) { replay_ = replay; }
    // Paced replay: sends the notices recorded before record line `line`; false when not replaying.
    bool releaseReplayNotices(int line);

    void setScript(const QString& type, const CommandScript& script);
    bool removeScript(const QString& type);

    // Every request frame received, oldest first: compact JSON, or the escaped text of a frame
    // that is not JSON. The raw handshake is not a request and is not kept.
    QList<QByteArray> requests() const;
    void clearRequests();

signals:
    // A script asked for a crash; the owner ends the process.
    void crashRequested();

private:
    Answer respond(const QByteArray& frame, bool first);
    Answer answerHandshake(const QByteArray& frame);
    Answer answerRequest(const QByteArray& frame);
    ServiceReply dispatch(const QString& type, const QJsonValue& body);
    void record(const QByteArray& frame, const QJsonDocument& parsed, bool valid);
    void acceptRequestConnections();
    void acceptCallbackConnections();
    void forgetSession(RequestSession* session);
    void forgetCallbackSocket(QLocalSocket* socket);
    void sendReplayNotices(const QList<QByteArray>& lines);
    void startReplayNotices();

    QString suffix_;
    DeviceSimulator& simulator_;
    StartupScript startup_;
    std::optional<QJsonValue> ahshReply_;
    std::map<QString, CommandScript> scripts_;
    QLocalServer requestServer_;
    QLocalServer callbackServer_;
    std::vector<RequestSession*> sessions_;
    std::vector<QLocalSocket*> callbackSockets_;
    std::deque<QByteArray> requests_;
    Replay* replay_ = nullptr;
    bool replayNoticesStarted_ = false;
    QList<QByteArray> replayQueue_;  // notices due before a library had its callback connection
};

}  // namespace omnivue
