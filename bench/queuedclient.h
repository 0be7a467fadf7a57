// Baseline B: the hand-written client of rawclient.h kept on a thread of its own with an event
// loop, reached from the calling thread through a queued invocation and a future. That is the
// least a host thread needs to reach a socket owned by another thread, as the library's calls do.
#pragma once

#include "rawclient.h"

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QThread>

#include <exception>
#include <future>
#include <memory>
#include <utility>

namespace bench {

class QueuedRequestClient {
public:
    QueuedRequestClient() = default;
    ~QueuedRequestClient();
    QueuedRequestClient(const QueuedRequestClient&) = delete;
    QueuedRequestClient& operator=(const QueuedRequestClient&) = delete;

    // Starts the thread and connects the client there.
    bool start(const QString& suffix, QString* error);
    // Ends the client on its thread, then the thread.
    void stop();

    // One round trip run on the client's thread; the caller blocks on the future.
    QJsonValue roundTrip(const QString& type, const QJsonValue& body);

    // Runs `work` with the client on the client's thread and returns its value (or rethrows
    // its exception) on the calling thread.
    template <typename Work>
    auto run(Work&& work) -> decltype(work(std::declval<RawRequestClient&>())) {
        using Result = decltype(work(std::declval<RawRequestClient&>()));
        std::promise<Result> promise;
        std::future<Result> future = promise.get_future();
        QMetaObject::invokeMethod(
            context_.get(),
            [&] {
                try {
                    promise.set_value(work(*client_));
                } catch (...) {
                    promise.set_exception(std::current_exception());
                }
            },
            Qt::QueuedConnection);
        return future.get();
    }

private:
    QThread thread_;
    std::unique_ptr<QObject> context_;          // lives on thread_ while it runs
    std::unique_ptr<RawRequestClient> client_;  // made, used and destroyed on thread_
};

}  // namespace bench
