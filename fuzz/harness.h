// Shared pieces of the fuzz targets: a Qt core application, a quiet message handler, a way to
// report a broken property as a finding, and a controller whose request socket is connected to
// an in-process server, so that commands run their real send-and-read path.
#pragma once

#include "apicontroller.h"
#include "controllerpeer.h"
#include "coreapplication.h"
#include "errors.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using quarn::tellan_api::ApiController;
using quarn::tellan_api::ApiControllerTestPeer;
using quarn::tellan_api::APIException;

namespace fuzzsupport {

// Creates the core application once and routes Qt's messages to `handler` instead of stderr (a
// fuzzer runs millions of inputs); by default they are dropped.
inline void setUp(QtMessageHandler handler = nullptr) {
    static const bool done = [handler] {
        testsupport::ensureCoreApplication();
        qInstallMessageHandler(
            handler ? handler : [](QtMsgType type, const QMessageLogContext&, const QString&) {
                if (type == QtFatalMsg)
                    std::abort();
            });
        return true;
    }();
    (void)done;
}

// A property that does not hold is a finding like a crash: libFuzzer keeps the input.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "Broken property: %s\n", what);
        std::abort();
    }
}

inline QByteArray bytesOf(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// A successful reply frame's text with `replyText` spliced in verbatim as the "reply" value.
inline QByteArray okFrameAround(const QByteArray& replyText) {
    return QByteArray("{\"code\":0,\"err\":\"\",\"reply\":") + replyText + '}';
}

// The "reply" value that the reader finds in `frame`: its text ends at the first NUL.
inline QJsonValue replyValueOf(const QByteArray& frame) {
    const int end = frame.indexOf('\0');
    return QJsonDocument::fromJson(end < 0 ? frame : frame.left(end)).object().value("reply");
}

// Listens under a name unique to this process and hands out the service's end of each
// connection, as the service's request server would.
class LocalService {
public:
    LocalService() {
        const QString name =
            QStringLiteral("crop_assist_fuzz_%1").arg(QCoreApplication::applicationPid());
        QLocalServer::removeServer(name);
        require(server.listen(name), "the fuzz service listens");
    }
    // Connects `socket` and returns the accepted end (owned by the server).
    QLocalSocket* connect(QLocalSocket& socket) {
        socket.connectToServer(server.serverName());
        require(socket.waitForConnected(5000) && server.waitForNewConnection(5000),
                "the controller connects");
        QLocalSocket* accepted = server.nextPendingConnection();
        require(accepted != nullptr, "the fuzz service has the connection");
        return accepted;
    }

private:
    QLocalServer server;
};

// A controller built without start-up whose request socket is connected to a LocalService.
class ConnectedController {
public:
    ConnectedController()
        : controller_(std::make_unique<ApiController>()),
          serviceSide(service.connect(ApiControllerTestPeer::requestSocket(*controller_))) {}
    // The controller's socket goes first, while the server it is connected to still exists.
    ~ConnectedController() { controller_.reset(); }

    ApiController& controller() { return *controller_; }
    // Makes `frame` the next reply: the bytes replace whatever the reader had buffered, as if
    // they had just been received, followed by the terminator.
    void queueReply(const QByteArray& frame) {
        ApiControllerTestPeer::readBuffer(*controller_) = frame + '\0';
    }
    // Takes what the controller has sent so far, so that the connection never fills up.
    QByteArray takeRequests() {
        QByteArray sent;
        while (serviceSide->waitForReadyRead(0) || serviceSide->bytesAvailable() > 0)
            sent += serviceSide->readAll();
        return sent;
    }

private:
    LocalService service;
    std::unique_ptr<ApiController> controller_;
    QLocalSocket* serviceSide;
};

}  // namespace fuzzsupport
