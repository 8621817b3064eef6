// A whole conversion run over one input file, without a database (files
// only), into a data folder in memory-backed scratch space. After the run:
// it ended in order, every data file is whole and sits at station/hour/name,
// nothing appeared outside the data folder, and every sample of every
// accepted record is in a data file, counted as not stored, or repeats data
// already stored.
//
// Input: byte 0 bit 0 selects the accepted qualities (DQ or DQRM); the rest is
// the input file.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/archivecheck.h"
#include "convert/convertfromseed.h"
#include "fuzzsupport.h"
#include "platform/ini.h"

namespace fs = std::filesystem;

namespace {

class Host : public IConvertHost {
 public:
  void SetStatusText(const char* text) override {
    last = text;
    fuzz::Check(done == 0, "status text after the end-of-run notice");
  }
  void Beep() override {}
  void ConvertDone() override { ++done; }
  void ReportError(const char*) override {}
  std::string last;
  int done = 0;
};

struct Scratch {
  std::string dir, data, ini, input;
  Scratch() : dir(fuzz::ScratchDir() + "/run") {
    data = dir + "/data";
    ini = dir + "/VEZ.ini";
    input = dir + "/input.mseed";
    fs::create_directories(data);
    if (!platform::WritePrivateProfileString("DATA", "DIR", data, ini)) fuzz::Fail("cannot write VEZ.ini");
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const Scratch scratch;
  fuzz::EmptyFolder(scratch.data);
  {
    std::ofstream out(scratch.input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    if (!out) fuzz::Fail("cannot write the input file");
  }

  Host host;
  CConvertFromSeed converter(&host, scratch.ini);
  converter.SetConnectString("");
  converter.SetQuality((data[0] & 1) ? "DQRM" : "DQ");
  converter.SetJobs((data[0] & 2) ? 2 : 1);
  converter.AddFile(scratch.input);
  ConvertThreadProc(&converter);

  const RunStats& stats = converter.Stats();
  fuzz::Check(host.done == 1, "no single end-of-run notice");
  fuzz::Check(host.last == (stats.AnyFailure() ? "Data converted with errors" : "Data successfully converted"),
              "closing status text does not match the run's outcome");
  fuzz::Check(!stats.aborted && !stats.databaseOpenFailed, "a run without database aborted");
  fuzz::Check(stats.filesRead + stats.filesCutShort + stats.filesFailed == 1 &&
                  stats.filesFailed == stats.filesWithoutRecords,
              "a readable input file was not read, or failed although it yielded records");
  fuzz::Check(stats.store.rowsRegistered == 0, "rows registered without a database");

  uint64_t samplesInFiles = 0, files = 0;
  for (auto it = fs::recursive_directory_iterator(scratch.data); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path rel = fs::relative(it->path(), scratch.data);
    if (it.depth() == 0 && rel == archive::kLockFolderName) {
      // Station locks: one empty or PID-holding file per station, nothing else.
      it.disable_recursion_pending();
      for (const auto& lock : fs::directory_iterator(it->path()))
        fuzz::Check(lock.is_regular_file() && fs::file_size(lock.path()) < 32, "something other than a lock file");
      continue;
    }
    fuzz::Check(rel.filename().string()[0] != '.', "a temporary file was left in the data folder");
    if (it->is_directory()) {
      fuzz::Check(it.depth() < 2, "a folder deeper than station/hour");
      continue;
    }
    fuzz::Check(it->is_regular_file() && it.depth() == 2, "a data file outside station/hour");
    const auto bytes = fs::file_size(it->path());
    fuzz::Check(bytes >= 512 && (bytes - 512) % 4 == 0, "a data file that is not header plus whole samples");
    char magic[8] = {};
    std::ifstream in(it->path(), std::ios::binary);
    in.read(magic, sizeof magic);
    fuzz::Check(std::memcmp(magic, "[VEZ4.0]", 8) == 0, "a data file without its header");
    samplesInFiles += (bytes - 512) / 4;
    ++files;
  }
  fuzz::Check(files == stats.store.filesCreated, "data files and files created differ");
  fuzz::Check(samplesInFiles == stats.store.samplesWritten, "samples in the files and samples written differ");
  const StoreStats& st = stats.store;
  fuzz::Check(samplesInFiles + st.samplesNotStored + st.samplesDuplicate + st.samplesConflicting == stats.samples,
              "samples of accepted records neither stored, nor reported as not stored, nor repeated");

  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(scratch.dir)) ++entries;
  fuzz::Check(entries == 3, "something was written beside the data folder");
  return 0;
}
