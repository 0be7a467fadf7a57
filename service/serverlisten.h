// Starting a local server under a fixed name without stealing it from a live owner.
#pragma once

#include <QString>

QT_BEGIN_NAMESPACE
class QLocalServer;
QT_END_NAMESPACE

namespace omnivue {

// Listens on `name`. A name that a live server answers is refused; a name left behind by a
// server that died is cleared first. On failure returns false and sets `error`.
bool listenExclusive(QLocalServer& server, const QString& name, QString* error);

}  // namespace omnivue
