// runOnApiThread: runs one ApiController operation on the API thread and hands its value, or
// the very exception it threw, back to the calling host thread.
#pragma once

#include "apicontroller.h"
#include "functorexecutor.h"

#include <QMetaObject>

#include <exception>
#include <functional>
#include <future>
#include <type_traits>

namespace quarn::tellan_api {

class ApiThread;

// The API thread object; APIException 99 "Missing api thread" when there is none.
ApiThread* currentApiThread();
// The live executor of `thread`; APIException 99 "Missing thread executor" when it is gone or
// no controller exists.
FunctorExecutor* apiThreadExecutor(ApiThread* thread);

// `operation` is a controller member (or any callable taking the controller).
// Must not be called on the API thread itself: the queued call would never be served.
// The arguments are captured by reference; the caller's frame outlives the wait.
template <typename R, typename Op, typename... Args>
R runOnApiThread(FunctorExecutor* executor, Op operation, const Args&... args) {
    std::promise<R> promise;
    FunctorExecutor::Functor functor = [&promise, operation, &args...]() {
        try {
            ApiController* controller = ApiController::instance();
            if constexpr (std::is_void_v<R>) {
                std::invoke(operation, controller, args...);
                promise.set_value();
            } else {
                promise.set_value(std::invoke(operation, controller, args...));
            }
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    };
    QMetaObject::invokeMethod(executor, "execute", Qt::QueuedConnection,
                              Q_ARG(FunctorExecutor::Functor, functor));
    return promise.get_future().get();
}

}  // namespace quarn::tellan_api
