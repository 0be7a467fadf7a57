#include "democontrol.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

namespace cropassist {

DemoControl::DemoControl(const std::string& name, int timeoutMs)
    : socket_(std::make_unique<QLocalSocket>()) {
    QElapsedTimer timer;
    timer.start();
    // The service creates the channel while it starts; retry until it is there.
    while (true) {
        socket_->connectToServer(QString::fromStdString(name));
        if (socket_->waitForConnected(1000) || timer.elapsed() >= timeoutMs) {
            return;
        }
        socket_->abort();
        QThread::msleep(50);
    }
}

DemoControl::~DemoControl() = default;

bool DemoControl::connected() const {
    return socket_->state() == QLocalSocket::ConnectedState;
}

std::string DemoControl::command(const std::string& line, int timeoutMs) {
    if (!connected()) {
        return "err not connected to the control channel";
    }
    socket_->write(QByteArray::fromStdString(line + "\n"));
    if (!socket_->waitForBytesWritten(timeoutMs)) {
        return "err " + socket_->errorString().toStdString();
    }
    QElapsedTimer timer;
    timer.start();
    while (!socket_->canReadLine()) {
        const int left = timeoutMs - static_cast<int>(timer.elapsed());
        if (left <= 0 || !socket_->waitForReadyRead(left)) {
            return "err no answer from the control channel";
        }
    }
    return socket_->readLine().trimmed().toStdString();
}

void setControlNameForStartedServices(const std::string& name) {
    qputenv("OMNIVUE_CONTROL", QByteArray::fromStdString(name));
}

}  // namespace cropassist
