// The core application that threads with an event loop, local servers and shared-memory objects
// need; test executables have none of their own.
#pragma once

namespace testsupport {

// Creates one for the rest of the process unless one exists; callable any number of times.
void ensureCoreApplication();

}  // namespace testsupport
