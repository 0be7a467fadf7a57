// runOnApiThread: runs one ApiController operation on the API thread and hands its value, or
// the very exception it threw, back to the calling host thread.
#pragma once

#include "apicontroller.h"
#include "functorexecutor.h"

#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <type_traits>
#include <utility>

namespace quarn::tellan_api {

class ApiThread;

// The API thread object; APIException 99 "Missing api thread" when there is none.
ApiThread* currentApiThread();
// The live executor of `thread`; APIException 99 "Missing thread executor" when it is gone or
// no controller exists.
FunctorExecutor* apiThreadExecutor(ApiThread* thread);

namespace detail {

// Where the API thread leaves an operation's value for the caller.
template <typename R>
struct ResultSlot {
    std::optional<R> value;
    R take() { return std::move(*value); }
};
template <>
struct ResultSlot<void> {
    void take() {}
};

}  // namespace detail

// `operation` is a controller member (or any callable taking the controller).
// Must not be called on the API thread itself: the queued call would never be served.
// The arguments are captured by reference; the caller's frame outlives the wait.
template <typename R, typename Op, typename... Args>
R runOnApiThread(FunctorExecutor* executor, Op operation, const Args&... args) {
    detail::ResultSlot<R> result;
    // The exception travels in the caller's frame, and the API thread signals only after its
    // catch block has ended: from then on the caller alone holds the exception and frees it.
    std::exception_ptr failure;
    std::promise<void> done;
    FunctorExecutor::Functor functor = [&result, &failure, &done, operation, &args...]() {
        try {
            ApiController* controller = ApiController::instance();
            if constexpr (std::is_void_v<R>)
                std::invoke(operation, controller, args...);
            else
                result.value.emplace(std::invoke(operation, controller, args...));
        } catch (...) {
            failure = std::current_exception();
        }
        done.set_value();
    };
    executor->post(functor);
    done.get_future().wait();
    if (failure)
        std::rethrow_exception(failure);
    return result.take();
}

}  // namespace quarn::tellan_api
