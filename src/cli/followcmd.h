#pragma once
// brevanto-cli --follow: the files in folders, converted as they grow.
#include <functional>

#include "cli/options.h"

class CConvertFromSeed;

namespace cli {

// stoppable is told the converter a stop signal must reach while it follows,
// and null once it is done. Exit status: 0 stopped by a signal, 2 usage,
// 3 the archive or the state folder could not be opened.
int Follow(const Options& options, const std::function<void(CConvertFromSeed*)>& stoppable);

// Has a follower read VEZ.ini, ./brevanto.ini and the selection again
// between its rounds (SIGHUP). Safe in a signal handler.
void RequestFollowReread();

}  // namespace cli
