#pragma once
// The temporary files of data-file creation that a killed run left behind.
// Only a run holding a station's lock may remove them from that station's
// folders: no other run can be writing there.
#include <functional>
#include <set>
#include <string>

namespace convert {

// Removes every leftover ".NAME.XXXXXX" in the hour folders of the stations
// below dataDir; report gets one line per file removed, or not removable.
void RemoveLeftovers(const std::string& dataDir, const std::set<std::string>& stations,
                     const std::function<void(const std::string&)>& report);

}  // namespace convert
