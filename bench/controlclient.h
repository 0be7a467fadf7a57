// A blocking client of the stand-in service's control channel: one command line out, one answer
// line back. The notice figures send a command and read its answer only after the notice has
// been seen, so sending and reading are apart.
#pragma once

#include <QByteArray>
#include <QLocalSocket>
#include <QString>

namespace bench {

class ControlClient {
public:
    // Connects to the channel `name`, retrying while the service comes up.
    bool connectTo(const QString& name, int timeoutMs);
    bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }
    void disconnect() { socket_.abort(); }

    // Writes `line` and a line feed; does not wait for the answer.
    bool send(const QByteArray& line);
    // The next answer line without its line feed, or "err " and the cause.
    QByteArray readAnswer(int timeoutMs = 5000);
    QByteArray command(const QByteArray& line, int timeoutMs = 5000);

private:
    QLocalSocket socket_;
};

// True for "ok" and "ok <data>".
bool answeredOk(const QByteArray& answer);

}  // namespace bench
