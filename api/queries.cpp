// The query and command entry points, one per line of the call table (calltable.h). Each checks
// its arguments, writes presets, takes apiMutex, runs its controller operation on the API thread,
// copies the result out, maps a failure to a result code and, when a session is recorded, records
// the call with what it wrote.
#include "crop_assist.h"

#include "apicontroller.h"
#include "apimutex.h"
#include "apithread.h"
#include "callrecording.h"
#include "calltable.h"
#include "controllercall.h"
#include "errormapping.h"

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <vector>

using namespace quarn::tellan_api;

namespace {

// An out-parameter is a pointer to something the call may write.
template <typename T>
constexpr bool isOut = std::is_pointer_v<T> && !std::is_const_v<std::remove_pointer_t<T>>;

// An out-parameter whose value points into storage the library keeps (arrays, device strings).
template <typename T>
constexpr bool handsOutStorage = isOut<T> && (std::is_pointer_v<std::remove_pointer_t<T>> ||
                                              std::is_same_v<T, TellanDeviceInfo*>);

// A host's bool may arrive as any byte; the service is always sent exactly 0 or 1. Read as a
// byte: loading another byte as a bool is undefined.
bool normalized(const bool& value) {
    unsigned char raw;
    std::memcpy(&raw, &value, 1);
    return raw != 0;
}

// Strings and out-parameters must not be null; a frame must describe pixels the library takes.
template <typename T>
bool valid(const T& value) {
    if constexpr (std::is_pointer_v<T>)
        return value != nullptr;
    else if constexpr (std::is_same_v<T, TellanFrame>)
        return ApiController::frameByteCount(value) != 0;
    else
        return true;
}

// What an out-parameter holds when the call fails.
template <typename T>
void preset(const T& value) {
    if constexpr (std::is_same_v<T, TellanMode*>) {
        *value = TELLAN_MODE_FRAMING;
    } else if constexpr (std::is_same_v<T, TellanDeviceInfo*>) {
        static const char kEmpty[] = "";
        *value = TellanDeviceInfo{kEmpty, kEmpty, kEmpty};
    } else if constexpr (isOut<T>) {
        *value = {};
    }
}

// The operation's arguments: the in-parameters, a frame by its address.
template <typename T>
auto operationArgument(const T& value) {
    if constexpr (isOut<T>)
        return std::tuple<>();
    else if constexpr (std::is_same_v<T, bool>)
        return std::tuple<bool>(normalized(value));
    else if constexpr (std::is_same_v<T, TellanFrame>)
        return std::tuple<const TellanFrame*>(&value);
    else
        return std::tuple<T>(value);
}

template <typename T>
auto outParameter(const T& value) {
    if constexpr (isOut<T>)
        return std::tuple<T>(value);
    else
        return std::tuple<>();
}

// Copies an operation's result into the out-parameters: a value into one, a pair into two, a
// list the library keeps into an array and its count.
template <typename R, typename... Outs>
void deliver(const R& result, const std::tuple<Outs...>& outs) {
    if constexpr (std::is_pointer_v<R>) {
        *std::get<0>(outs) = result->data();
        *std::get<1>(outs) = static_cast<int>(result->size());
    } else if constexpr (sizeof...(Outs) > 1) {
        std::apply([&](auto... out) { std::tie(*out...) = result; }, outs);
    } else {
        *std::get<0>(outs) = result;
    }
}

template <typename Class, typename R, typename... P>
R resultOf(R (Class::*)(P...));

// Where a call hands out lists or strings that the library keeps, it is recorded under the API
// lock: once the lock is let go, another host thread's call or exit may replace them.
std::unique_lock<std::recursive_mutex> holdWhileRecorded(int64_t began) noexcept {
    try {
        if (began >= 0)
            return std::unique_lock<std::recursive_mutex>(apiMutex);
    } catch (...) {
        // The lock could not be had (a resource failure): recorded as before, without it.
    }
    return std::unique_lock<std::recursive_mutex>();
}

template <auto operation, typename... A>
int run(const char* failureText, const A&... arguments) noexcept {
    if (!(valid(arguments) && ...))
        return CROP_ASSIST_INVALID_ARGUMENT;
    (preset(arguments), ...);
    using R = decltype(resultOf(operation));
    const auto in = std::tuple_cat(operationArgument(arguments)...);
    const auto outs = std::tuple_cat(outParameter(arguments)...);
    try {
        std::lock_guard<std::recursive_mutex> lock(apiMutex);
        FunctorExecutor* executor = apiThreadExecutor(currentApiThread());
        const auto call = [&](const auto&... values) {
            return callController<R>(executor, operation, values...);
        };
        if constexpr (std::is_void_v<R>)
            std::apply(call, in);
        else
            deliver(std::apply(call, in), outs);
        return CROP_ASSIST_OK;
    } catch (...) {
        return mapCurrentException(failureText);
    }
}

template <auto operation, typename Names, typename... A>
int exported(const char* function, const char* failureText, const Names& names,
             A... arguments) noexcept {
    const int64_t began = recording::on() ? recording::now() : -1;
    std::unique_lock<std::recursive_mutex> hold;
    if constexpr ((handsOutStorage<A> || ...))
        hold = holdWhileRecorded(began);
    const int result = run<operation>(failureText, arguments...);
    if (began >= 0)
        recording::recordArguments(function, began, result, names, arguments...);
    return result;
}

}  // namespace

#define CA_UNPARENTHESIZED(...) __VA_ARGS__
#define CA_EXPORT(function, operation, failure, parameters, arguments, summary)   \
    CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_##function parameters {      \
        static constexpr calls::ArgumentNames names(#arguments);                  \
        return exported<&ApiController::operation>(#function, failure, names,     \
                                                   CA_UNPARENTHESIZED arguments); \
    }

extern "C" {
CROP_ASSIST_QUERIES(CA_EXPORT)
}
