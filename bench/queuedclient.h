// Baseline B: the hand-written client of rawclient.h kept on a thread of its own with an event
// loop, reached from the calling thread through a queued invocation and a future. That is the
// least a host thread needs to reach a socket owned by another thread, as the library's calls do.
#pragma once

#include "rawclient.h"

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QThread>

#include <memory>

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

private:
    QThread thread_;
    std::unique_ptr<QObject> context_;          // lives on thread_ while it runs
    std::unique_ptr<RawRequestClient> client_;  // made, used and destroyed on thread_
};

}  // namespace bench
