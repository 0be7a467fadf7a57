// runOnApiThread: runs one ApiController operation on the API thread and hands its value, or
// the very exception it threw, back to the calling host thread.
#pragma once

#include "apicontroller.h"
#include "errors.h"
#include "functorexecutor.h"
#include "recorder.h"
#include "releasingmutex.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

namespace quarn::tellan_api {

class ApiThread;

// The API thread object; APIException CROP_ASSIST_NOT_INITIALIZED "Missing api thread" when
// there is none.
ApiThread* currentApiThread();
// The live executor of `thread`; APIException CROP_ASSIST_NOT_INITIALIZED "Missing thread
// executor" when it is gone or no controller exists.
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
    // The record is owned by both sides: the caller may see the call finished while the API
    // thread is still inside the unlock that announced it (winpthreads marks a mutex unlocked
    // before it wakes a waiter), so whichever side lets go last destroys it.
    struct Call {
        Call(Op op, const Args&... a) : operation(op), args(a...) {}
        Op operation;
        std::tuple<const Args&...> args;
        detail::ResultSlot<R> result;
        // The API thread signals only after its catch block has ended: from then on the caller
        // alone reads the exception.
        std::exception_ptr failure;
        // Not a std::promise: on MinGW the mutex inside its state is never destroyed and keeps
        // an event handle once contended, a handle lost per call.
        platform::ReleasingMutex<std::mutex> doneMutex;
        std::condition_variable doneCondition;
        bool finished = false;

        void run() {
            ApiController* controller = nullptr;
            try {
                controller = ApiController::instance();
                const auto invoke = [&](const Args&... a) {
                    return std::invoke(operation, controller, a...);
                };
                if constexpr (std::is_void_v<R>)
                    std::apply(invoke, args);
                else
                    result.value.emplace(std::apply(invoke, args));
            } catch (APIException& e) {
                // Only here are the controller and its process at hand: a lost connection is
                // told from a crash before the failure leaves the API thread.
                if (e.code == CROP_ASSIST_NOT_INITIALIZED && controller) {
                    e.serviceCrashed = controller->serviceCrashedAfterLoss();
                    if (recording::on())
                        recording::connectionLost(e.serviceCrashed);
                }
                failure = std::current_exception();
            } catch (...) {
                failure = std::current_exception();
            }
            // The arguments live in the caller's frame, which ends once it sees `finished`.
            std::lock_guard<std::mutex> lock(doneMutex);
            finished = true;
            doneCondition.notify_one();
        }
    };
    const auto call = std::make_shared<Call>(operation, args...);
    executor->post([call] { call->run(); });
    {
        std::unique_lock<std::mutex> lock(call->doneMutex);
        call->doneCondition.wait(lock, [&call] { return call->finished; });
    }
    // Moved out: the exception is then the caller's alone, whichever side lets the record go.
    if (call->failure)
        std::rethrow_exception(std::move(call->failure));
    return call->result.take();
}

}  // namespace quarn::tellan_api
