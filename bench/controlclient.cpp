#include "controlclient.h"

#include <QElapsedTimer>
#include <QThread>

namespace bench {

bool ControlClient::connectTo(const QString& name, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        socket_.connectToServer(name);
        if (socket_.waitForConnected(1000))
            return true;
        socket_.abort();
        if (clock.elapsed() >= timeoutMs)
            return false;
        // A server that is not there yet refuses at once; there is nothing to wait on.
        QThread::msleep(20);
    }
}

bool ControlClient::send(const QByteArray& line) {
    if (!connected())
        return false;
    if (socket_.write(line + '\n') < 0)
        return false;
    // On Windows the pipe's write is under way once write() returns, and flush() reports false
    // while it is: the line is sent all the same.
    socket_.flush();
    return true;
}

QByteArray ControlClient::readAnswer(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!socket_.canReadLine()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || !socket_.waitForReadyRead(static_cast<int>(left)))
            return "err no answer from the control channel: " + socket_.errorString().toUtf8();
    }
    QByteArray line = socket_.readLine();
    line.chop(1);
    return line;
}

QByteArray ControlClient::command(const QByteArray& line, int timeoutMs) {
    if (!send(line))
        return "err control channel not connected";
    return readAnswer(timeoutMs);
}

bool answeredOk(const QByteArray& answer) {
    return answer == "ok" || answer.startsWith("ok ");
}

}  // namespace bench
