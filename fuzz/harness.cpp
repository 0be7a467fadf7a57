#include "harness.h"

#include "coreapplication.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

namespace {

void dropMessage(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg)
        std::abort();
}

}  // namespace

void setUp(QtMessageHandler handler) {
    static const bool done = [handler] {
        testsupport::ensureCoreApplication();
        qInstallMessageHandler(handler ? handler : dropMessage);
        return true;
    }();
    (void)done;
}

void require(bool condition, const char* what) {
    if (condition)
        return;
    std::fprintf(stderr, "Broken property: %s\n", what);
    std::abort();
}

QByteArray bytesOf(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

QByteArray okFrameAround(const QByteArray& replyText) {
    return QByteArray("{\"code\":0,\"err\":\"\",\"reply\":") + replyText + '}';
}

QJsonValue replyValueOf(const QByteArray& frame) {
    const int end = frame.indexOf('\0');
    return QJsonDocument::fromJson(end < 0 ? frame : frame.left(end)).object().value("reply");
}

LocalService::LocalService() {
    const QString name =
        QStringLiteral("crop_assist_fuzz_%1").arg(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    require(server.listen(name), "the fuzz service listens");
}

QLocalSocket* LocalService::connect(QLocalSocket& socket) {
    socket.connectToServer(server.serverName());
    require(socket.waitForConnected(5000), "the controller connects");
    require(server.waitForNewConnection(5000), "the fuzz service accepts");
    QLocalSocket* accepted = server.nextPendingConnection();
    require(accepted != nullptr, "the fuzz service has the connection");
    return accepted;
}

ConnectedController::ConnectedController() : controller_(std::make_unique<ApiController>()) {
    serviceSide = service.connect(ApiControllerTestPeer::requestSocket(*controller_));
}

// The controller's socket goes first, while the server it is connected to still exists.
ConnectedController::~ConnectedController() {
    controller_.reset();
}

void ConnectedController::queueReply(const QByteArray& frame) {
    ApiControllerTestPeer::readBuffer(*controller_) = frame + '\0';
}

QByteArray ConnectedController::takeRequests() {
    QByteArray sent;
    while (serviceSide->waitForReadyRead(0) || serviceSide->bytesAvailable() > 0)
        sent += serviceSide->readAll();
    return sent;
}

}  // namespace fuzzsupport
