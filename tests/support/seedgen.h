#pragma once
// Builds SEED data records for tests: a small Steim1/Steim2 encoder with
// control over every word, and a header writer.
#include <cstdint>
#include <string>
#include <vector>

namespace seedgen {

// One data word of a Steim frame: its 2-bit code and the value as a
// most-significant-first word. Code-1 words hold four bytes that keep their
// storage order in either word order.
struct Word {
  int code = 0;
  uint32_t bits = 0;
};

Word Steim1Word(int width, const std::vector<int32_t>& diffs);  // width 8, 16, 32
Word Steim2Word(int width, const std::vector<int32_t>& diffs);  // 4, 5, 6, 8, 10, 15, 30
// Packs differences greedily into the fewest words.
std::vector<Word> EncodeSteim1(const std::vector<int32_t>& diffs);
std::vector<Word> EncodeSteim2(const std::vector<int32_t>& diffs);
// Differences of samples, the first taken against the last sample of the previous record.
std::vector<int32_t> Differences(const std::vector<int32_t>& samples, int32_t previous = 0);

// Frames of frameBytes bytes total (a multiple of 64): X0 and Xn in frame 0,
// data words from word 3 on; unused words are code 0.
std::vector<unsigned char> Frames(int32_t x0, int32_t xn, const std::vector<Word>& words, bool bigEndian,
                                  size_t frameBytes);

struct Header {
  char quality = 'D';
  std::string station = "ABC";
  std::string location = "00";
  std::string channel = "BHZ";
  std::string network = "XX";
  int year = 2011, dayOfYear = 1, hour = 0, minute = 0, second = 0, tenThousandths = 0;
  int sampleCount = 0;
  int rateFactor = 20, rateMultiplier = 1;
  int dataOffset = 64;
  int firstBlockette = 48;  // 0: no blockettes
  int blockette1000 = 48;   // 0: none; elsewhere a blockette 1001 at firstBlockette leads to it
  int encoding = 11;
  int wordOrder = 1;
  int recordLength = 512;
  bool littleEndian = false;  // header and blockette fields least significant byte first
};

// A whole record: header, blockettes, payload at dataOffset (cut at the end
// of the record).
std::vector<unsigned char> Record(const Header& h, const std::vector<unsigned char>& payload);

// A record of samples by h.encoding: Steim1 or Steim2 (10, 11), or 16-bit
// or 32-bit integers, 32-bit or 64-bit floats of the samples (1, 3, 4, 5);
// h.sampleCount is set from samples when it is 0.
std::vector<unsigned char> EncodeRecord(Header h, const std::vector<int32_t>& samples);

}  // namespace seedgen

namespace seedgen {

// A miniSEED 3 record.
struct Header3 {
  std::string id = "FDSN:XX_ABC_00_B_H_Z";
  int year = 2011, dayOfYear = 1, hour = 0, minute = 0, second = 0;
  uint32_t nanosecond = 0;
  int encoding = 11;
  double rate = 20;  // negative: the period in seconds
  int publicationVersion = 2;
  std::string extra;  // extra headers
};

// Header, identifier, extra headers and payload, with its CRC.
std::vector<unsigned char> Record3(const Header3& h, const std::vector<unsigned char>& payload, uint32_t count);
// Samples by h.encoding: Steim1 or Steim2 frames (most significant byte
// first, no more frames than needed), or 16- or 32-bit integers, 32- or
// 64-bit floats least significant byte first.
std::vector<unsigned char> EncodeRecord3(const Header3& h, const std::vector<int32_t>& samples);
// Puts the CRC of a record edited since into it.
void SetCrc3(std::vector<unsigned char>& record);

}  // namespace seedgen
