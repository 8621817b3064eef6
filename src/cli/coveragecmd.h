#pragma once
// brevanto-cli --coverage: what FILELIST says the archive holds.
#include "cli/options.h"

namespace cli {

// Exit status: 0 written, 1 the output could not be written, 3 the database
// or FILELIST could not be read.
int Coverage(const Options& options, const char* connect, int loginTimeoutSeconds);

}  // namespace cli
