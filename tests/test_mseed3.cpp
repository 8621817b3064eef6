// miniSEED 3 input: the repacked copies and real twins convert as their
// version 2 originals do.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/localarchive.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

TEST(Mseed3Explore, RepackedAgainstOriginals) {
  const fs::path dir = Mseed3DataDir();
  if (dir.empty()) GTEST_SKIP() << "../shared/testdata/mseed3 not found";
  auto archive = LocalArchive::Sqlite();
  for (const auto& e : fs::directory_iterator(dir / "repacked")) {
    if (e.path().extension() != ".mseed3") continue;
    const std::string name = e.path().filename().string();
    const fs::path original = SeedDataDir() / name.substr(0, name.size() - 7);
    archive->Wipe();
    const auto o2 = archive->Convert({"--quality", "DQRM", original.string()});
    const ArchiveImage want = archive->Image();
    archive->Wipe();
    const auto o3 = archive->Convert({"--quality", "DQRM", e.path().string()});
    const ArchiveImage got = archive->Image();
    SCOPED_TRACE(name + "\nv2 " + std::to_string(o2.status) + ":\n" + o2.err + "\nv3 " + std::to_string(o3.status) + ":\n" + o3.err);
    ExpectSameArchive(got, want);
  }
}

}  // namespace
