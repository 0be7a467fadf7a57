// The callback channel: the listener thread that reads the service's device notices, and the
// handlers that update the registry and call the host.
#include "apicontroller.h"
#include "callbacklines.h"
#include "localconnect.h"
#include "platform.h"
#include "recorder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QtDebug>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

namespace quarn::tellan_api {

namespace {

const char kCallbackServerPrefix[] = "ZuzoRerazuO_";
constexpr qint64 kConnectTimeoutMs = 5000;
constexpr qint64 kRetryPauseMs = 50;

// A service may still be creating its callback server when its request server already answers,
// so a refused attempt is repeated within the window, unless the controller is going away. A
// refused attempt is followed by an idle pause: the listener has settled.
bool connectCallbackSocket(QLocalSocket& socket, const QString& name, std::atomic<bool>& settled) {
    return connectWithin(socket, name, kConnectTimeoutMs, kRetryPauseMs, [&settled] {
        settled.store(true);
        return ApiController::listenerRunning.load();
    });
}

// Reads notices until the flag is cleared, the service closes the socket or a read fails.
void listen(ApiController& controller, QLocalSocket& socket, std::atomic<bool>& settled) {
    QByteArray buffer;
    while (ApiController::listenerRunning.load() &&
           socket.state() == QLocalSocket::ConnectedState) {
        // The one-second wait bounds how long a stop has to wait for an idle listener.
        if (socket.bytesAvailable() <= 0) {
            settled.store(true);
            const bool ready = socket.waitForReadyRead(1000);
            // Qt's Windows pipe reader queues a readyRead for the thread's event loop after each
            // read, and waitForReadyRead emits it itself: this thread has no loop, so without
            // this the queued ones would pile up for as long as the session lasts.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            if (!ready)
                continue;
        }
        const qint64 available = socket.bytesAvailable();
        const int oldSize = buffer.size();
        buffer.resize(oldSize + static_cast<int>(available));
        const qint64 received = socket.read(buffer.data() + oldSize, available);
        if (received < 0) {
            qCritical().noquote() << "Failed to read callback socket" << socket.errorString();
            return;
        }
        if (received != available) {
            qWarning("Read unexpected calback data length");
            buffer.resize(oldSize + static_cast<int>(received));
        }
        // Whatever the buffer held before this read is a partial line without a line feed.
        dispatchCallbackLines(controller, buffer, oldSize);
        // The listener stops rather than hold ever more of a line that never ends.
        if (buffer.size() > ApiController::kMaxMessageBytes) {
            qCritical("Callback line longer than %d bytes; no more notices are read",
                      ApiController::kMaxMessageBytes);
            return;
        }
    }
}

// Connects, then reads notices until the controller goes or the connection ends.
void listenUntilStopped(ApiController* controller, const QString& suffix,
                        std::atomic<bool>& settled) {
    QLocalSocket socket;
    if (!connectCallbackSocket(socket, QLatin1String(kCallbackServerPrefix) + suffix, settled)) {
        // Given up because the controller is going away: nothing failed.
        if (!ApiController::listenerRunning.load())
            return;
        qCritical().noquote() << "Cannot connect to Omnivue API callback:"
                              << static_cast<int>(socket.error()) << socket.errorString();
        return;
    }
    try {
        listen(*controller, socket, settled);
    } catch (const std::exception& e) {
        // An exception leaving a thread function would abort the host.
        qCritical().noquote() << "Callback listener failed:" << e.what();
    } catch (...) {
        qCritical("Callback listener failed");
    }
    socket.close();
    qDebug("Callback socket disconnected");
}

// The listener thread's body. It tells its starter once the system layer knows it.
void listenForCallbacks(ApiController* controller, QString suffix, std::atomic<bool>* entered,
                        std::atomic<bool>* settled, platform::IdleWake* rest) {
    platform::enterLibraryThread();
    entered->store(true);
    listenUntilStopped(controller, suffix, *settled);
    settled->store(true);
    // A listener that has stopped reading stays, idle, until the controller goes: an unload that
    // has to end the library's threads (Windows) then finds it in a wait rather than on its way
    // out through the runtime's thread exit. It sleeps until the controller's end wakes it.
    while (ApiController::listenerRunning.load())
        rest->wait(-1);
    platform::leaveLibraryThread();
}

}  // namespace

void ApiController::startListener(const QString& suffix) {
    listenerRunning.exchange(true);
    listenerSettled.store(false);
    // Returns only once the thread is known to the system layer, which must end it itself at an
    // unload it cannot wait through: an unload right after init would otherwise miss it, and on
    // Windows a thread that has not begun cannot begin under the loader lock that the unload
    // holds; it would begin afterwards, in unmapped code. A thread starts in microseconds.
    std::atomic<bool> entered{false};
    listenerThread =
        std::thread(listenForCallbacks, this, suffix, &entered, &listenerSettled, &listenerRest);
    while (!entered.load())
        std::this_thread::yield();
}

void ApiController::waitForListenerToSettle() {
    // Until it has read what the service sent on connecting, or waits to connect again, or has
    // ended: then init returns with the listener idle, and a host that unloads at once finds it so.
    QElapsedTimer waited;
    waited.start();
    while (listenerThread.joinable() && !listenerSettled.load() &&
           waited.elapsed() < kConnectTimeoutMs + 1000)
        platform::idleSleep(1);
}

// Each handler records its notice and loads the host's callback in one step of the recorder, so
// that a setter's record falls before or after both (see recording::setterCall).
template <typename Callback>
Callback noticeAndCallback(const QByteArray& line, const std::atomic<Callback>& callback) {
    Callback loaded = nullptr;
    const auto load = [&loaded, &callback] { loaded = callback.load(); };
    if (recording::on())
        recording::notice(line, load);
    else
        load();
    return loaded;
}

void ApiController::onDeviceArrived(const QByteArray& identifier) {
    DeviceConnectedCallback callback = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(devicesMutex);
        qDebug() << "API: new device" << identifier;
        pendingDevices.push_back(identifier);
        // Recorded under the registry's lock, which a read holds from its first fetch to its
        // snapshot: a read recorded as fetching after this line saw the device, one before not.
        callback = noticeAndCallback('0' + identifier, deviceConnectedCallback);
    }
    if (callback) {
        if (recording::on())
            recording::callbackMade("connected", identifier);
        callback(identifier.constData());
    }
}

void ApiController::onDeviceLost(const QByteArray& identifier) {
    bool known = false;
    DeviceDisconnectedCallback callback = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(devicesMutex);
        known = devices.erase(identifier) > 0;
        const auto pending = std::find(pendingDevices.begin(), pendingDevices.end(), identifier);
        if (pending != pendingDevices.end()) {
            pendingDevices.erase(pending);
            known = true;
        }
        callback = noticeAndCallback('1' + identifier, deviceDisconnectedCallback);
    }
    if (!known)
        return;
    qDebug() << "API: lost device" << identifier;
    if (callback) {
        if (recording::on())
            recording::callbackMade("disconnected", identifier);
        callback(identifier.constData());
    }
}

void ApiController::onDeviceEvent(int event, const QByteArray& text) {
    if (DeviceEventCallback callback =
            noticeAndCallback(char('0' + event) + text, deviceEventCallback)) {
        if (recording::on())
            recording::eventCallbackMade(event, text);
        callback(event, text.constData());
    }
}

}  // namespace quarn::tellan_api
