// runOnApiThread: runs a function object on the API thread and hands its value, or the very
// exception it threw, back to the calling host thread.
#pragma once

#include "functorexecutor.h"
#include "releasingmutex.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace quarn::tellan_api {

namespace detail {

// Where the API thread leaves a function object's value for the caller.
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

// Must not be called on the API thread itself: the queued call would never be served.
// `work` may hold references into the caller's frame, which outlives the wait.
template <typename R, typename Work>
R runOnApiThread(FunctorExecutor* executor, Work work) {
    // The record is owned by both sides: the caller may see the call finished while the API
    // thread is still inside the unlock that announced it (winpthreads marks a mutex unlocked
    // before it wakes a waiter), so whichever side lets go last destroys it.
    struct Call {
        explicit Call(Work w) : work(std::move(w)) {}
        Work work;
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
            try {
                if constexpr (std::is_void_v<R>)
                    work();
                else
                    result.value.emplace(work());
            } catch (...) {
                failure = std::current_exception();
            }
            // What `work` refers to lives in the caller's frame, which ends once it sees
            // `finished`.
            std::lock_guard<std::mutex> lock(doneMutex);
            finished = true;
            doneCondition.notify_one();
        }
    };
    const auto call = std::make_shared<Call>(std::move(work));
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
