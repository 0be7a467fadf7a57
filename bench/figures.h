// The figures of the run: every benchmark, its baseline and its goal.
#pragma once

#include "resultstable.h"

#include <vector>

namespace bench {

// Registers every benchmark with Google Benchmark, the lifecycle figures first (they need the
// machine to themselves, without the shared session).
void registerFigures();
// Ends the shared session and its baseline clients.
void releaseFigures();
// The table rows: each figure with its baseline, goal and stand-in share.
const std::vector<TableRow>& tableRows();

}  // namespace bench
