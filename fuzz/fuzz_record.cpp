// Records through ProcessRecord: header reading, the three decoders, the
// start time and the store's joining, up to four records of one length per
// input. Each record sits in a heap block of exactly its length, so any read
// past its end is caught. The store's data folder cannot be created, so every
// segment ends as "not stored" without touching the disk; what the store
// accounts for must still add up to the samples the records declared.
//
// Input: byte 0 bits 0-2 give the record length (256 << (bits % 6)), bit 3
// selects the accepted qualities (DQ or DQRM); the rest are the records, the
// last one completed with zero bytes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "convert/convertfromseed.h"
#include "fuzzsupport.h"
#include "store/stainfo.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static CConvertFromSeed converter(nullptr, "/nonexistent/VEZ.ini");
  const int R = 256 << ((data[0] & 7) % 6);
  converter.SetQuality((data[0] & 8) ? "DQRM" : "DQ");
  converter.m_RecLen = R;
  ++data;
  --size;

  const uint64_t samplesBefore = converter.Stats().samples;
  CStaInfo store(nullptr);
  store.SetPath("/dev/null/not-a-folder");
  for (int i = 0; i < 4 && size > 0; ++i) {
    const size_t take = size < static_cast<size_t>(R) ? size : static_cast<size_t>(R);
    std::unique_ptr<unsigned char[]> record(new unsigned char[static_cast<size_t>(R)]);
    std::memcpy(record.get(), data, take);
    std::memset(record.get() + take, 0, static_cast<size_t>(R) - take);
    converter.ProcessRecord(store, record.get());
    data += take;
    size -= take;
  }
  store.WriteAll();

  const uint64_t declared = converter.Stats().samples - samplesBefore;
  const StoreStats& s = store.m_Stats;
  fuzz::Check(s.samplesWritten == 0 && s.filesCreated == 0 && s.filesExtended == 0,
              "the store reports data written into a folder that cannot exist");
  fuzz::Check(s.samplesNotStored == declared, "samples lost without being reported as not stored");
  return 0;
}
