#include "functorexecutor.h"

#include <mutex>

FunctorExecutor::FunctorExecutor(QObject* parent) : QObject(parent) {
    // A queued invocation copies its argument into the posted event, which needs the type by
    // this exact name.
    static std::once_flag registered;
    std::call_once(registered,
                   [] { qRegisterMetaType<FunctorExecutor::Functor>("FunctorExecutor::Functor"); });
}

void FunctorExecutor::execute(FunctorExecutor::Functor f) {
    f();
}
