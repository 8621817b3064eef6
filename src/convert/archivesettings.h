#pragma once
// The archive's settings file "VEZ.ini": where it is, the data folder it
// names, and why that folder cannot take a run's data files.
#include <string>

// The system-wide settings file, used when the user has none.
constexpr const char* kSystemVezIni = "/etc/VEZ.ini";

// $XDG_CONFIG_HOME/VEZ.ini (~/.config/VEZ.ini when unset) if it exists,
// otherwise the system-wide file.
std::string FindVezIni();

// Section DATA key DIR, with one trailing separator removed.
std::string ReadDataDir(const std::string& vezIni);

// Why vezIni names no data folder: the file is missing or unreadable, or its
// key is missing, blank or leads to the root folder; empty when it names one.
std::string VezIniProblem(const std::string& vezIni);

// Why dataDir cannot take data files (missing, not a folder, not writable,
// unreachable); empty when it can. The empty string is the root folder, as
// "DIR=/" names it.
std::string FolderProblem(const std::string& dataDir);

// VezIniProblem, else FolderProblem of the folder vezIni names.
std::string DataFolderProblem(const std::string& vezIni);

// The program's own settings file, in the folder it was started from.
constexpr const char* kProgramIni = "./brevanto.ini";

// Section BREVANTO key COMMIT_MS of programIni: how long a FILELIST row may
// lag its data file, in milliseconds (0: every write committed at once).
// fallback when the key is missing; false, with problem set, when its value
// is not a number of milliseconds.
bool ReadCommitInterval(const std::string& programIni, long fallback, long& ms, std::string& problem);

// A whole number from 0 to max, all of text; false otherwise.
bool ParseCount(const std::string& text, long max, long& value);
