// The process-wide lock that serialises init, attach, exit, is-initialized and every marshalled
// entry point. Recursive, so that a thread holding it may enter again.
#pragma once

#include <mutex>

namespace quarn::tellan_api {

extern std::recursive_mutex apiMutex;

}  // namespace quarn::tellan_api
