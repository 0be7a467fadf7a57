// The instruction-count mode: runs one call path many times between a reset and a dump of
// callgrind's counters, so that `valgrind --tool=callgrind` gives its cost per call apart from
// start-up (scripts/bench.sh --callgrind). Outside valgrind the markers do nothing.
#pragma once

#include <QString>

namespace bench {

// Names of the call paths --profile accepts, separated by blanks.
const char* profileNames();
// Runs `calls` calls of `name` against the shared session; returns the process exit code.
int runProfile(const QString& name, int calls);

}  // namespace bench
