#pragma once
// Reading FILELIST for the archive tools: the rows of the table in one
// ordered query, handed over one at a time so that a table of millions of
// rows is never held whole.
#include <functional>
#include <string>

#include "archive/coverage.h"

namespace odbc {
class Connection;
}

namespace archive {

// Rows whose time overlaps window, ordered by STA, CH and TBEGIN (an index
// on those three columns spares the database a sort). Throws odbc::Error.
void ReadCoverageRows(odbc::Connection& database, const TimeWindow& window,
                      const std::function<void(const CoverageRow&)>& row);

// The coverage of the channels that selects (all when empty) within window.
using ChannelFilter = std::function<bool(const std::string& station, const std::string& channel)>;
Coverage ReadCoverage(odbc::Connection& database, const TimeWindow& window, const ChannelFilter& selects = {});

}  // namespace archive
