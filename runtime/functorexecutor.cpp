#include "functorexecutor.h"

#include <QCoreApplication>
#include <QEvent>

#include <mutex>
#include <utility>

namespace {

// Qt's event queue orders everything a poster did before post() ahead of the call. Both sides
// also pass through this lock, so that the same order shows where Qt's internals cannot be
// seen (thread checkers against an uninstrumented Qt). It exists before any thread does, and
// each pass is empty, so sharing it between executors costs next to nothing.
std::mutex handoff;

// The event that carries one function object. A plain event type of the executor's own, not one
// registered with Qt: nothing but the executor ever receives it.
constexpr QEvent::Type kRunEvent = static_cast<QEvent::Type>(QEvent::User + 0x0ca5);

class RunEvent : public QEvent {
public:
    explicit RunEvent(FunctorExecutor::Functor f) : QEvent(kRunEvent), functor(std::move(f)) {}
    FunctorExecutor::Functor functor;
};

}  // namespace

FunctorExecutor::FunctorExecutor(QObject* parent) : QObject(parent) {
    // An executor made on one thread and moved to another is handed over like a call.
    { std::lock_guard<std::mutex> passed(handoff); }
}

void FunctorExecutor::post(Functor f) {
    // Posted as an event of its own, not through the slot by name: that would copy the argument
    // through a type in Qt's process-wide meta-type table, whose entry keeps the constructor and
    // destructor of the first image of this library that registered it. Qt outlives an unloaded
    // image (two plugins each shipping the library, or a reload at another base), and a later
    // image's calls would run that unmapped code. The event is made before the lock is passed.
    auto* event = new RunEvent(std::move(f));
    { std::lock_guard<std::mutex> passed(handoff); }
    QCoreApplication::postEvent(this, event);
}

bool FunctorExecutor::event(QEvent* e) {
    { std::lock_guard<std::mutex> passed(handoff); }  // before the event is read at all
    if (e->type() != kRunEvent)
        return QObject::event(e);
    execute(static_cast<RunEvent*>(e)->functor);
    return true;
}

void FunctorExecutor::execute(FunctorExecutor::Functor f) {
    { std::lock_guard<std::mutex> passed(handoff); }
    f();
}
