#pragma once
// brevanto-cli --repair: the archive repair as a mode of the command line.
#include "cli/options.h"

namespace cli {

// Returns the exit status: 0 whole afterwards, 1 findings remain or an action
// failed, 3 the archive could not be read or written.
int Repair(const Options& options);

}  // namespace cli
