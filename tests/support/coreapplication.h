// The core application that threads with an event loop, local servers and shared-memory objects
// need; test executables have none of their own. Made once for the rest of the process.
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
