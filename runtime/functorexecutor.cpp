#include "functorexecutor.h"

#include <mutex>
#include <utility>

namespace {

// Qt's event queue orders everything a poster did before post() ahead of the call. Both sides
// also pass through this lock, so that the same order shows where Qt's internals cannot be
// seen (thread checkers against an uninstrumented Qt). It exists before any thread does, and
// each pass is empty, so sharing it between executors costs next to nothing.
std::mutex handoff;

}  // namespace

FunctorExecutor::FunctorExecutor(QObject* parent) : QObject(parent) {
    // An executor made on one thread and moved to another is handed over like a call.
    { std::lock_guard<std::mutex> passed(handoff); }
}

void FunctorExecutor::post(Functor f) {
    { std::lock_guard<std::mutex> passed(handoff); }
    // Queued as a function object, not through the slot by name: that would copy the argument
    // through a type in Qt's process-wide meta-type table, whose entry keeps the constructor and
    // destructor of the first image of this library that registered it. Qt outlives an unloaded
    // image (two plugins each shipping the library, or a reload at another base), and a later
    // image's calls would run that unmapped code.
    QMetaObject::invokeMethod(
        this, [this, f = std::move(f)] { execute(f); }, Qt::QueuedConnection);
}

void FunctorExecutor::execute(FunctorExecutor::Functor f) {
    { std::lock_guard<std::mutex> passed(handoff); }
    f();
}
