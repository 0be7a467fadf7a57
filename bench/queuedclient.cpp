#include "queuedclient.h"

namespace bench {

QueuedRequestClient::~QueuedRequestClient() {
    stop();
}

bool QueuedRequestClient::start(const QString& suffix, QString* error) {
    context_ = std::make_unique<QObject>();
    context_->moveToThread(&thread_);
    thread_.start();
    bool connected = false;
    QMetaObject::invokeMethod(
        context_.get(),
        [&] {
            client_ = std::make_unique<RawRequestClient>();
            connected = client_->connectTo(suffix, error);
        },
        Qt::BlockingQueuedConnection);
    return connected;
}

void QueuedRequestClient::stop() {
    if (!thread_.isRunning())
        return;
    QThread* caller = QThread::currentThread();
    QMetaObject::invokeMethod(
        context_.get(),
        [&] {
            client_.reset();
            // Handed back so that it can be destroyed here once the thread has ended.
            context_->moveToThread(caller);
        },
        Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    context_.reset();
}

QJsonValue QueuedRequestClient::roundTrip(const QString& type, const QJsonValue& body) {
    return run([&](RawRequestClient& client) { return client.roundTrip(type, body); });
}

}  // namespace bench
