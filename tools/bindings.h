// The calls behind the subcommands: one subcommand for each line of the call table, whose
// parameters' types say how its words are read and how its answer is reported.
#pragma once

#include "commands.h"

#include <vector>

namespace cropassist {

// In the table's order; each checks its words (throwing UsageError) and binds them into an
// Action that makes the call and reports its arguments and out values by their names.
std::vector<Command> callCommands();

Action isInitialized(const Arguments& arguments);

}  // namespace cropassist
