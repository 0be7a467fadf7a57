// RequestSession: one host's request connection to the service.
#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

QT_BEGIN_NAMESPACE
class QLocalSocket;
QT_END_NAMESPACE

namespace omnivue {

// What the service does with one received frame.
struct Answer {
    enum class Kind {
        Reply,  // write `bytes` (the terminator included when wanted)
        Drop,   // close the connection without answering
        Crash,  // end the service as a crash
        Hold,   // never answer; later frames on this connection are not looked at
    };
    Kind kind = Kind::Reply;
    QByteArray bytes;
    int delayMs = 0;  // waited before acting, without blocking other connections
};

// Cuts the connection's byte stream into NUL-terminated frames, whatever the pieces it arrives
// in, hands them one at a time to the responder and carries out its answers. A frame is not
// looked at before the previous one has been answered, so a delayed answer keeps its place.
class RequestSession : public QObject {
    Q_OBJECT
public:
    // Bytes kept without a terminator before the connection is given up, as the library does.
    static constexpr int kMaxPendingBytes = 20971520;

    // Gets the frame (without its terminator) and whether it is the first on the connection.
    using Responder = std::function<Answer(const QByteArray& frame, bool first)>;

    // Takes over `socket`.
    RequestSession(QLocalSocket* socket, Responder responder, QObject* parent = nullptr);

    // Closes the connection at once; closed() follows.
    void drop();

signals:
    // Emitted once, when the connection has ended; the owner then deletes the session.
    void closed(omnivue::RequestSession* session);
    void crashRequested();

private:
    void readIncoming();
    void processFrames();
    void carryOut(const Answer& answer);
    void finish();

    QLocalSocket* socket_;
    Responder responder_;
    QByteArray buffer_;
    int scanned_ = 0;  // bytes of buffer_ already known to hold no terminator
    bool first_ = true;
    bool busy_ = false;
    bool closed_ = false;
};

}  // namespace omnivue
