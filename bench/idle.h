// Idle wake-ups: how often the threads of an open session that the host leaves alone wake, with
// recording off, on and in ring mode, and after the service has closed its connections.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Registered after the per-call figures: each iteration starts a session of its own.
void registerIdleFigures();

}  // namespace bench
