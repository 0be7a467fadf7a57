// Shared pieces of the fuzz targets: a Qt core application, a quiet message handler, a way to
// report a broken property as a finding, and a controller whose request socket is connected to
// an in-process server, so that commands run their real send-and-read path.
#pragma once

#include "apicontroller.h"
#include "controllerpeer.h"
#include "errors.h"

#include <QByteArray>
#include <QJsonValue>
#include <QLocalServer>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <memory>

class QLocalSocket;

using quarn::tellan_api::ApiController;
using quarn::tellan_api::ApiControllerTestPeer;
using quarn::tellan_api::APIException;

namespace fuzzsupport {

// Creates the core application once and routes Qt's messages to `handler` instead of stderr (a
// fuzzer runs millions of inputs); by default they are dropped.
void setUp(QtMessageHandler handler = nullptr);

// A property that does not hold is a finding like a crash: libFuzzer keeps the input.
void require(bool condition, const char* what);

QByteArray bytesOf(const uint8_t* data, size_t size);

// A successful reply frame's text with `replyText` spliced in verbatim as the "reply" value.
QByteArray okFrameAround(const QByteArray& replyText);
// The "reply" value that the reader finds in `frame`: its text ends at the first NUL.
QJsonValue replyValueOf(const QByteArray& frame);

// Listens under a name unique to this process and hands out the service's end of each
// connection, as the service's request server would.
class LocalService {
public:
    LocalService();
    // Connects `socket` and returns the accepted end (owned by the server); aborts on failure.
    QLocalSocket* connect(QLocalSocket& socket);

private:
    QLocalServer server;
};

// A controller built without start-up whose request socket is connected to a LocalService.
class ConnectedController {
public:
    ConnectedController();
    ~ConnectedController();
    ConnectedController(const ConnectedController&) = delete;
    ConnectedController& operator=(const ConnectedController&) = delete;

    ApiController& controller() { return *controller_; }
    // Makes `frame` the next reply: the bytes replace whatever the reader had buffered, as if
    // they had just been received, followed by the terminator.
    void queueReply(const QByteArray& frame);
    // Takes what the controller has sent so far, so that the connection never fills up.
    QByteArray takeRequests();

private:
    LocalService service;
    std::unique_ptr<ApiController> controller_;
    QLocalSocket* serviceSide;
};

}  // namespace fuzzsupport
