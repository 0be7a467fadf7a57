// Connecting to one of the service's local servers within a time window.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

QT_BEGIN_NAMESPACE
class QLocalSocket;
QT_END_NAMESPACE

namespace quarn::tellan_api {

// Connects `socket` to the local server `name` within `waitMs`. A server that does not exist yet
// refuses at once instead of letting the wait run, and a service that was just started needs a
// moment before it listens: so a refused attempt is repeated, `pauseMs` apart, until the time is
// up or `keepTrying` (when given) answers false.
bool connectWithin(QLocalSocket& socket, const QString& name, qint64 waitMs, qint64 pauseMs,
                   const std::function<bool()>& keepTrying = {});

}  // namespace quarn::tellan_api
