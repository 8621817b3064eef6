#pragma once
// Private-profile (INI) files: sections and keys are case-insensitive, the
// first occurrence wins on reading, and a write changes one line and keeps
// the rest of the file as it was.
#include <string>

namespace platform {

// Value of key in section of file, or def when the file, section or key is
// missing. Surrounding blanks are trimmed, as is one pair of enclosing quotes.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file);

// Sets key in section, creating the file, the section or the key as needed.
// Returns false when the file could not be written.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

}  // namespace platform
