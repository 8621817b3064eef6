#pragma once
// FILELIST paths and codes as they come back from the table.
#include <string>

namespace archive {

// The local path below the data folder that a FILELIST path names, or empty
// when the path could lead anywhere but into the data folder.
std::string LocalPath(const std::string& cpath);

// A CHAR column hands its text back padded with blanks, which no path,
// station or channel code ends with.
std::string Unpadded(std::string text);

}  // namespace archive
