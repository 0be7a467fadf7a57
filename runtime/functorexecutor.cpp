#include "functorexecutor.h"

#include <QCoreApplication>
#include <QEvent>

#include <atomic>
#include <utility>

namespace {

// Qt's event queue orders everything a poster did before post() ahead of the call. Both sides
// also pass this point, so that the same order shows where Qt's internals cannot be seen (thread
// checkers against an uninstrumented Qt): each pass acquires what every earlier pass released.
// An atomic rather than a lock: a process-wide mutex that was once contended keeps a kernel event
// for good on Windows (winpthreads), one handle more at a random moment of a long session.
std::atomic<unsigned> handoff{0};

void passHandoff() {
    handoff.fetch_add(1, std::memory_order_acq_rel);
}

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
    // Once per process, with the first executor: the slot's argument type by its name. The entry
    // is never used to copy a Functor, so one left by an unloaded image of this library is inert.
    static const int functorType =
        qRegisterMetaType<FunctorExecutor::Functor>("FunctorExecutor::Functor");
    (void)functorType;
    // An executor made on one thread and moved to another is handed over like a call.
    passHandoff();
}

void FunctorExecutor::post(Functor f) {
    // Posted as an event of its own, not through the slot by name: that would copy the argument
    // through a type in Qt's process-wide meta-type table, whose entry keeps the constructor and
    // destructor of the first image of this library that registered it. Qt outlives an unloaded
    // image (two plugins each shipping the library, or a reload at another base), and a later
    // image's calls would run that unmapped code. The event is made before the lock is passed.
    auto* event = new RunEvent(std::move(f));
    passHandoff();
    QCoreApplication::postEvent(this, event);
}

bool FunctorExecutor::event(QEvent* e) {
    passHandoff();  // before the event is read at all
    if (e->type() != kRunEvent)
        return QObject::event(e);
    execute(static_cast<RunEvent*>(e)->functor);
    return true;
}

void FunctorExecutor::execute(FunctorExecutor::Functor f) {
    passHandoff();
    f();
}
