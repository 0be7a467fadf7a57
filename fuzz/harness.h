// Shared by the fuzz targets, with a controller whose commands run their real exchange.
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

// Qt's messages go to `handler`, or nowhere: a fuzzer runs millions of inputs.
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

// Listens under a name of this process's own, as the service's request server would.
class LocalService {
public:
    LocalService() {
        const QString name =
            QStringLiteral("crop_assist_fuzz_%1").arg(QCoreApplication::applicationPid());
        QLocalServer::removeServer(name);
        require(server.listen(name), "the fuzz service listens");
    }
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

class ConnectedController {
public:
    ConnectedController()
        : controller_(std::make_unique<ApiController>()),
          serviceSide(service.connect(ApiControllerTestPeer::requestSocket(*controller_))) {}
    // The controller's socket goes first, while the server it is connected to still exists.
    ~ConnectedController() { controller_.reset(); }

    ApiController& controller() { return *controller_; }
    // `frame` and its terminator replace what the reader had buffered, as if just received.
    void queueReply(const QByteArray& frame) {
        ApiControllerTestPeer::readBuffer(*controller_) = frame + '\0';
    }
    // What the controller has sent so far; taking it keeps the connection from filling up.
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
