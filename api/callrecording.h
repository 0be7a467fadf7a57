// Records one exported call when a session is recorded (recording::on()).
#pragma once

#include "callrecord.h"
#include "recorder.h"

namespace quarn::tellan_api::recording {

// `began` is when the call began (now()), so that a replay knows which notices came before it.
template <typename... Parts>
void recordCall(const char* function, int64_t began, int result, const Parts&... parts) noexcept {
    try {
        hostCall(callRecord(function, result, parts...), began);
    } catch (...) {
        // Out of memory: the record is lost, the host goes on.
    }
}

// The same from the call's arguments as passed, named by `names` (callRecordOf).
template <typename Names, typename... Arguments>
void recordArguments(const char* function, int64_t began, int result, const Names& names,
                     Arguments... arguments) noexcept {
    try {
        hostCall(callRecordOf(function, result, names, arguments...), began);
    } catch (...) {
        // Out of memory: the record is lost, the host goes on.
    }
}

}  // namespace quarn::tellan_api::recording
