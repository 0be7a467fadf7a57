#include "coreapplication.h"

#include <QCoreApplication>

namespace testsupport {

void ensureCoreApplication() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "ca_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

}  // namespace testsupport
