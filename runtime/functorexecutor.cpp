#include "functorexecutor.h"

#include <QMetaMethod>

#include <mutex>

namespace {

// Qt's event queue orders everything a poster did before post() ahead of the call. Both sides
// also pass through this lock, so that the same order shows where Qt's internals cannot be
// seen (thread checkers against an uninstrumented Qt). It exists before any thread does, and
// each pass is empty, so sharing it between executors costs next to nothing.
std::mutex handoff;

}  // namespace

FunctorExecutor::FunctorExecutor(QObject* parent) : QObject(parent) {
    // A queued invocation copies its argument into the posted event, which needs the type by
    // this exact name.
    static std::once_flag registered;
    std::call_once(registered,
                   [] { qRegisterMetaType<FunctorExecutor::Functor>("FunctorExecutor::Functor"); });
    // An executor made on one thread and moved to another is handed over like a call.
    { std::lock_guard<std::mutex> passed(handoff); }
}

void FunctorExecutor::post(const Functor& f) {
    { std::lock_guard<std::mutex> passed(handoff); }
    // The slot is found by its name once: the lookup builds and compares signatures, and its
    // answer never changes.
    static const QMetaMethod execute =
        staticMetaObject.method(staticMetaObject.indexOfSlot("execute(FunctorExecutor::Functor)"));
    execute.invoke(this, Qt::QueuedConnection, Q_ARG(FunctorExecutor::Functor, f));
}

void FunctorExecutor::execute(FunctorExecutor::Functor f) {
    { std::lock_guard<std::mutex> passed(handoff); }
    f();
}
