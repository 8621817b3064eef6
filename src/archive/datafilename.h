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

// The longest relative path the writer makes (STATION\07\05032011-070809-CHANNEL.STATION),
// with codes of at most 8 characters, the longest a decoded record carries.
inline constexpr int kLongestCPath = 8 + 1 + 2 + 1 + 16 + 8 + 1 + 8;

// The writer creates a file as ".NAME.XXXXXX" beside NAME and renames it into place.
inline bool IsTemporaryName(const std::string& name) {
  return name.size() > 8 && name[0] == '.' && name[name.size() - 7] == '.';
}

}  // namespace archive
