// callController: how an exported function has one controller operation run on the API thread.
#pragma once

#include "apicontroller.h"
#include "runonapithread.h"

namespace quarn::tellan_api {

// Runs ApiController::run(operation, args...) on the API thread and returns its value as R. The
// arguments are passed by reference: the caller's frame outlives the wait.
template <typename R, typename Op, typename... Args>
R callController(FunctorExecutor* executor, Op operation, const Args&... args) {
    return runOnApiThread<R>(
        executor, [operation, &args...]() -> R { return ApiController::run(operation, args...); });
}

}  // namespace quarn::tellan_api
