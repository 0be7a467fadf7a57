#include "librarydirectory.h"

#include "platform.h"

#include <QtGlobal>

namespace quarn::tellan_api {

QString libraryDirectory() {
    std::string error;
    const std::string dir = platform::libraryDirectory(error);
    if (dir.empty()) {
        qCritical("%s", error.c_str());
        return QString();
    }
    return QString::fromStdString(dir);
}

}  // namespace quarn::tellan_api
