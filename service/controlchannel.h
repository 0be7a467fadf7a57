// ControlChannel: the running service's remote control, for tests and developers. A local server
// takes one text command per line and answers each with one line: "ok", "ok <data>" or
// "err <text>" ("requests" adds its lines after the first).
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QLocalSocket;
QT_END_NAMESPACE

namespace omnivue {

class DeviceSimulator;
class ServiceHost;

class ControlChannel : public QObject {
    Q_OBJECT
public:
    // Both must outlive the channel.
    ControlChannel(ServiceHost& host, DeviceSimulator& simulator, QObject* parent = nullptr);
    ~ControlChannel() override;

    // On failure returns false and sets `error`.
    bool listen(const QString& name, QString* error);
    // Stops listening and ends every control connection.
    void close();

signals:
    // Emitted after the answer has gone out; the owner ends the service.
    void exitRequested(int code);
    void crashRequested();

private:
    struct Outcome {
        QByteArray answer;            // without the final line feed
        std::function<void()> after;  // run once the answer is written
    };

    void acceptConnections();
    void readCommands(QLocalSocket* socket);
    Outcome execute(const QByteArray& line);

    ServiceHost& host_;
    DeviceSimulator& simulator_;
    QLocalServer server_;
};

}  // namespace omnivue
