// The directory the library was loaded from; start-up looks for the service there.
#pragma once

#include <QString>

namespace quarn::tellan_api {

// Ends with the directory separator. A failure logs one critical line and gives "".
QString libraryDirectory();

}  // namespace quarn::tellan_api
