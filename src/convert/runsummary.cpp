#include "convert/runsummary.h"

#include "convert/convertfromseed.h"

std::string FormatSummary(const RunStats& s, size_t inputCount, const std::string& result) {
  const auto n = [](uint64_t v) { return std::to_string(v); };
  std::string out = n(inputCount) + (inputCount == 1 ? " input file: " : " input files: ") + n(s.filesRead) +
                    " read, " + n(s.filesFailed) + " failed";
  if (s.filesWithoutRecords > 0)
    out += " (" + n(s.filesWithoutRecords) + " without a data record of an accepted quality)";
  if (s.filesCutShort > 0) out += ", " + n(s.filesCutShort) + " cut short";
  const uint64_t reached = s.filesRead + s.filesFailed + s.filesCutShort;
  if (reached < inputCount) out += ", " + n(inputCount - reached) + " not reached";
  out += "\n  records converted " + n(s.recordsConverted) + "; skipped: " + n(s.recordsNotData) +
         " not data or quality not accepted, " + n(s.recordsEmptyCode) + " empty code, " +
         n(s.recordsUnsafeCode) + " unsafe code";
  if (s.recordsNoDecoder > 0) out += ", " + n(s.recordsNoDecoder) + " in an encoding format without a decoder";
  if (s.recordsDamaged > 0) out += ", " + n(s.recordsDamaged) + " damaged";
  if (s.recordsUnmapped > 0) out += ", " + n(s.recordsUnmapped) + " with codes the archive cannot keep";
  if (s.recordsNotSelected > 0) out += "; not selected " + n(s.recordsNotSelected);
  out += "\n";
  out += "  samples " + n(s.samples) + "; data files created " + n(s.store.filesCreated) + ", extended " +
         n(s.store.filesExtended) + "; FILELIST registrations " + n(s.store.rowsRegistered) +
         ", rows of this run's files " + n(s.store.rowsOfRunFiles) + "\n";
  out += "  segments not stored " + n(s.store.segmentsNotStored) + " (" + n(s.store.samplesNotStored) +
         " samples)\n";
  if (s.filesNotRegistered > 0)
    out += "  data files written but not registered " + n(s.filesNotRegistered) + "\n";
  if (s.store.closeErrors > 0) out += "  data files that could not be closed " + n(s.store.closeErrors) + "\n";
  if (s.store.filesReplaced > 0)
    out += "  data files of this run replaced by a repeat of their data " + n(s.store.filesReplaced) + " (" +
           n(s.store.samplesRepeated) + " samples repeated)\n";
  if (s.interrupted) out += "interrupted: the run was stopped before the end of its input\n";
  if (!result.empty()) out += "result: " + result + "\n";
  return out;
}
