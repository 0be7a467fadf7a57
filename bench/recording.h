// The session recording's figures: a query and a 640x480 frame with recording on against off,
// the size of an hour's recording, and the stand-in replaying an hour as fast as it is asked.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Registered after the per-call figures: each iteration starts sessions of its own.
void registerRecordingFigures();

}  // namespace bench
