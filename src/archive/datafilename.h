#pragma once
// How a data file and its hour folder are named from the file's start time.
// The writer names files this way and the archive check expects it.
#include <string>

namespace archive {

struct Calendar {
  int year, month, day, hour, minute, second;
};

// The whole second is the single-precision seconds cut toward zero.
Calendar Breakdown(double t);

// "DDMMYYYY-hhmmss-CHA.STA", each code padded to three characters.
std::string DataFileName(const Calendar& c, const std::string& channel, const std::string& station);

// "07": the hour folder below the station's folder.
std::string HourFolder(int hour);

}  // namespace archive
