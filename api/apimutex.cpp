#include "apimutex.h"

namespace quarn::tellan_api {

std::recursive_mutex apiMutex;

}  // namespace quarn::tellan_api
