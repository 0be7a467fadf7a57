// Turns the exception in flight into a result code and one critical log line, the way every
// exported function reports its failures.
#pragma once

#include <cstdint>

namespace quarn::tellan_api {

// Call only from inside a catch block. `failureText` is the function's phrase, e.g.
// "failed to get feature status". Never throws.
int32_t mapCurrentException(const char* failureText) noexcept;

}  // namespace quarn::tellan_api
