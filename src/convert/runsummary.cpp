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
  if (s.recordsUnreachable > 0) out += ", " + n(s.recordsUnreachable) + " too short to be read";
  if (s.recordsDamaged > 0) out += ", " + n(s.recordsDamaged) + " damaged";
  if (s.recordsUnmapped > 0) out += ", " + n(s.recordsUnmapped) + " with codes the archive cannot keep";
  if (s.recordsNotSelected > 0) out += "; not selected " + n(s.recordsNotSelected);
  if (s.recordsOtherStream > 0) out += "; of other streams " + n(s.recordsOtherStream);
  out += "\n";
  for (const std::string& f : s.filesOnlyLog) out += "  " + f + ": only log records, no data\n";
  if (s.shardWithoutStation) out += "  no station of the input falls into this shard\n";
  out += "  samples " + n(s.samples) + "; data files created " + n(s.store.filesCreated) + ", extended " +
         n(s.store.filesExtended) + "; FILELIST registrations " + n(s.store.rowsRegistered) +
         ", rows of this run's files " + n(s.store.rowsOfRunFiles) + "\n";
  out += "  segments not stored " + n(s.store.segmentsNotStored) + " (" + n(s.store.samplesNotStored) +
         " samples)\n";
  if (s.filesNotRegistered > 0)
    out += "  data files written but not registered " + n(s.filesNotRegistered) + "\n";
  if (s.store.closeErrors > 0) out += "  data files that could not be closed " + n(s.store.closeErrors) + "\n";
  if (s.store.samplesDuplicate > 0)
    out += "  duplicate samples already stored " + n(s.store.samplesDuplicate) + ", not stored again\n";
  if (s.store.samplesConflicting > 0)
    out += "  samples that overlap stored data with other values " + n(s.store.samplesConflicting) + " (" +
           n(s.store.conflictStretches) + (s.store.conflictStretches == 1 ? " stretch" : " stretches") +
           "), not stored\n";
  if (s.interrupted) out += "interrupted: the run was stopped before the end of its input\n";
  if (!result.empty()) out += "result: " + result + "\n";
  return out;
}
