// Event loops, local servers and shared memory need a core application; made once per process.
#pragma once

#include <QCoreApplication>

namespace testsupport {

inline void ensureCoreApplication() {
    static int argc = 1;
    static char name[] = "ca_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        static QCoreApplication application(argc, argv);
}

}  // namespace testsupport
