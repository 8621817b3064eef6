#include "archive/datafilename.h"

#include <cstdio>

#include "seed/seedtime.h"

namespace archive {

Calendar Breakdown(double t) {
  Calendar c{};
  float seconds = 0;
  seed::SecondsToDate(t, c.year, c.month, c.day, c.hour, c.minute, seconds);
  c.second = static_cast<int>(seconds);
  return c;
}

std::string DataFileName(const Calendar& c, const std::string& channel, const std::string& station) {
  char name[64];
  std::snprintf(name, sizeof name, "%02d%02d%04d-%02d%02d%02d-%3s.%3s", c.day, c.month, c.year, c.hour,
                c.minute, c.second, channel.c_str(), station.c_str());
  return name;
}

std::string HourFolder(int hour) {
  char folder[16];
  std::snprintf(folder, sizeof folder, "%02d", hour);
  return folder;
}

}  // namespace archive
