#include "support/seedgen.h"

#include "seed/record3.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace seedgen {
namespace {

bool Fits(int32_t v, int width) {
  if (width >= 32) return true;
  const int64_t lo = -(int64_t{1} << (width - 1)), hi = (int64_t{1} << (width - 1)) - 1;
  return v >= lo && v <= hi;
}

uint32_t Pack(const std::vector<int32_t>& d, int width, int firstShift) {
  uint32_t w = 0;
  const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  for (size_t i = 0; i < d.size(); ++i)
    w |= (static_cast<uint32_t>(d[i]) & mask) << (firstShift - static_cast<int>(i) * width);
  return w;
}

void Put32(std::vector<unsigned char>& out, size_t at, uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<size_t>(i)] = static_cast<unsigned char>(bigEndian ? v >> (24 - 8 * i) : v >> (8 * i));
}

void Put16(std::vector<unsigned char>& out, size_t at, int v, bool littleEndian) {
  out[at + (littleEndian ? 1 : 0)] = static_cast<unsigned char>((v >> 8) & 0xFF);
  out[at + (littleEndian ? 0 : 1)] = static_cast<unsigned char>(v & 0xFF);
}

void Put64(std::vector<unsigned char>& out, size_t at, uint64_t v, bool bigEndian) {
  for (int i = 0; i < 8; ++i)
    out[at + static_cast<size_t>(i)] = static_cast<unsigned char>(bigEndian ? v >> (56 - 8 * i) : v >> (8 * i));
}

void PutText(std::vector<unsigned char>& out, size_t at, const std::string& s, size_t width) {
  for (size_t i = 0; i < width; ++i) out[at + i] = i < s.size() ? static_cast<unsigned char>(s[i]) : ' ';
}

template <typename MakeWord>
std::vector<Word> Greedy(const std::vector<int32_t>& diffs, const std::vector<std::pair<int, int>>& layouts,
                         MakeWord make) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < diffs.size()) {
    bool done = false;
    for (auto [count, width] : layouts) {  // most differences per word first
      if (i + static_cast<size_t>(count) > diffs.size()) continue;
      if (!std::all_of(diffs.begin() + static_cast<long>(i), diffs.begin() + static_cast<long>(i) + count,
                       [&](int32_t d) { return Fits(d, width); }))
        continue;
      words.push_back(make(width, std::vector<int32_t>(diffs.begin() + static_cast<long>(i),
                                                       diffs.begin() + static_cast<long>(i) + count)));
      i += static_cast<size_t>(count);
      done = true;
      break;
    }
    if (!done) {  // a tail shorter than any full word: the widest single-value word
      const int width = layouts.back().second;
      words.push_back(make(width, {diffs[i]}));
      ++i;
    }
  }
  return words;
}

}  // namespace

Word Steim1Word(int width, const std::vector<int32_t>& d) {
  switch (width) {
    case 8: {
      uint32_t w = 0;
      for (size_t i = 0; i < 4; ++i) w |= (static_cast<uint32_t>(i < d.size() ? d[i] : 0) & 0xFF) << (24 - 8 * i);
      return {1, w};
    }
    case 16: return {2, Pack(d, 16, 16)};
    case 32: return {3, static_cast<uint32_t>(d.at(0))};
  }
  throw std::invalid_argument("Steim1 width");
}

Word Steim2Word(int width, const std::vector<int32_t>& d) {
  switch (width) {
    case 8: return Steim1Word(8, d);
    case 30: return {2, 1u << 30 | Pack(d, 30, 0)};
    case 15: return {2, 2u << 30 | Pack(d, 15, 15)};
    case 10: return {2, 3u << 30 | Pack(d, 10, 20)};
    case 6: return {3, 0u << 30 | Pack(d, 6, 24)};
    case 5: return {3, 1u << 30 | Pack(d, 5, 25)};
    case 4: return {3, 2u << 30 | Pack(d, 4, 24)};
  }
  throw std::invalid_argument("Steim2 width");
}

std::vector<Word> EncodeSteim1(const std::vector<int32_t>& diffs) {
  return Greedy(diffs, {{4, 8}, {2, 16}, {1, 32}}, Steim1Word);
}

std::vector<Word> EncodeSteim2(const std::vector<int32_t>& diffs) {
  return Greedy(diffs, {{7, 4}, {6, 5}, {5, 6}, {4, 8}, {3, 10}, {2, 15}, {1, 30}}, Steim2Word);
}

std::vector<int32_t> Differences(const std::vector<int32_t>& samples, int32_t previous) {
  std::vector<int32_t> d;
  for (int32_t s : samples) {
    d.push_back(static_cast<int32_t>(static_cast<int64_t>(s) - previous));
    previous = s;
  }
  return d;
}

std::vector<unsigned char> Frames(int32_t x0, int32_t xn, const std::vector<Word>& words, bool bigEndian,
                                  size_t frameBytes) {
  std::vector<unsigned char> out(frameBytes, 0);
  size_t next = 0;
  for (size_t frame = 0; frame * 64 < frameBytes; ++frame) {
    const size_t base = frame * 64;
    uint32_t control = 0;
    int first = 1;
    if (frame == 0) {
      Put32(out, base + 4, static_cast<uint32_t>(x0), bigEndian);
      Put32(out, base + 8, static_cast<uint32_t>(xn), bigEndian);
      first = 3;
    }
    for (int w = first; w < 16 && next < words.size(); ++w, ++next) {
      const Word& word = words[next];
      control |= static_cast<uint32_t>(word.code) << (30 - 2 * w);
      Put32(out, base + 4 * static_cast<size_t>(w), word.bits, word.code == 1 ? true : bigEndian);
    }
    Put32(out, base, control, bigEndian);
  }
  if (next < words.size()) throw std::length_error("words do not fit in the frames");
  return out;
}

std::vector<unsigned char> Record(const Header& h, const std::vector<unsigned char>& payload) {
  std::vector<unsigned char> r(static_cast<size_t>(h.recordLength), 0);
  const bool le = h.littleEndian;
  std::memcpy(r.data(), "000001", 6);
  r[6] = static_cast<unsigned char>(h.quality);
  r[7] = ' ';
  PutText(r, 8, h.station, 5);
  PutText(r, 13, h.location, 2);
  PutText(r, 15, h.channel, 3);
  PutText(r, 18, h.network, 2);
  Put16(r, 20, h.year, le);
  Put16(r, 22, h.dayOfYear, le);
  r[24] = static_cast<unsigned char>(h.hour);
  r[25] = static_cast<unsigned char>(h.minute);
  r[26] = static_cast<unsigned char>(h.second);
  Put16(r, 28, h.tenThousandths, le);
  Put16(r, 30, h.sampleCount, le);
  Put16(r, 32, h.rateFactor, le);
  Put16(r, 34, h.rateMultiplier, le);
  r[39] = 1;
  Put16(r, 44, h.dataOffset, le);
  Put16(r, 46, h.firstBlockette, le);
  if (h.firstBlockette != 0 && h.blockette1000 != h.firstBlockette) {
    const size_t at = static_cast<size_t>(h.firstBlockette);
    Put16(r, at, 1001, le);
    Put16(r, at + 2, h.blockette1000, le);
    r[39] = 2;
  }
  if (h.firstBlockette != 0 && h.blockette1000 != 0) {
    const size_t at = static_cast<size_t>(h.blockette1000);
    Put16(r, at, 1000, le);
    r[at + 4] = static_cast<unsigned char>(h.encoding);
    r[at + 5] = static_cast<unsigned char>(h.wordOrder);
    int exponent = 0;
    while ((1 << exponent) < h.recordLength) ++exponent;
    r[at + 6] = static_cast<unsigned char>(exponent);
  }
  for (size_t i = 0; i < payload.size() && static_cast<size_t>(h.dataOffset) + i < r.size(); ++i)
    r[static_cast<size_t>(h.dataOffset) + i] = payload[i];
  return r;
}

std::vector<unsigned char> EncodeRecord(Header h, const std::vector<int32_t>& samples) {
  if (h.sampleCount == 0) h.sampleCount = static_cast<int>(samples.size());
  const bool big = h.wordOrder != 0;
  const size_t room = static_cast<size_t>(h.recordLength - h.dataOffset);
  std::vector<unsigned char> payload;
  const size_t count = samples.size();
  switch (h.encoding) {
    case 1:
      payload.resize(count * 2);
      for (size_t i = 0; i < count; ++i) Put16(payload, 2 * i, samples[i], !big);
      break;
    case 3:
      payload.resize(count * 4);
      for (size_t i = 0; i < count; ++i) Put32(payload, 4 * i, static_cast<uint32_t>(samples[i]), big);
      break;
    case 4:
      payload.resize(count * 4);
      for (size_t i = 0; i < count; ++i)
        Put32(payload, 4 * i, std::bit_cast<uint32_t>(static_cast<float>(samples[i])), big);
      break;
    case 5:
      payload.resize(count * 8);
      for (size_t i = 0; i < count; ++i)
        Put64(payload, 8 * i, std::bit_cast<uint64_t>(static_cast<double>(samples[i])), big);
      break;
    default: {
      const auto diffs = Differences(samples, samples.empty() ? 0 : samples[0]);
      const bool steim2 = h.encoding == 11;
      auto words = steim2 ? EncodeSteim2(diffs) : EncodeSteim1(diffs);
      // Steim1 is most significant byte first under a big-endian header.
      const bool wordsBig = steim2 || h.littleEndian ? big : true;
      // Steim1's 16-bit differences keep their places in the word, each in the word order.
      if (!steim2 && !wordsBig)
        for (Word& w : words)
          if (w.code == 2) w.bits = w.bits << 16 | w.bits >> 16;
      const int32_t x0 = samples.empty() ? 0 : samples.front(), xn = samples.empty() ? 0 : samples.back();
      payload = Frames(x0, xn, words, wordsBig, room - room % 64);
    }
  }
  return Record(h, payload);
}

}  // namespace seedgen

namespace seedgen {

std::vector<unsigned char> Record3(const Header3& h, const std::vector<unsigned char>& payload, uint32_t count) {
  std::vector<unsigned char> r(seed::k3FixedHeaderSize);
  r[0] = 'M';
  r[1] = 'S';
  r[seed::k3Version] = 3;
  Put32(r, seed::k3Nanosecond, h.nanosecond, false);
  Put16(r, seed::k3Year, h.year, true);
  Put16(r, seed::k3DayOfYear, h.dayOfYear, true);
  r[seed::k3Hour] = static_cast<unsigned char>(h.hour);
  r[seed::k3Minute] = static_cast<unsigned char>(h.minute);
  r[seed::k3Second] = static_cast<unsigned char>(h.second);
  r[seed::k3Encoding] = static_cast<unsigned char>(h.encoding);
  Put64(r, seed::k3SampleRate, std::bit_cast<uint64_t>(h.rate), false);
  Put32(r, seed::k3SampleCount, count, false);
  r[seed::k3PublicationVersion] = static_cast<unsigned char>(h.publicationVersion);
  r[seed::k3IdentifierLength] = static_cast<unsigned char>(h.id.size());
  Put16(r, seed::k3ExtraLength, static_cast<int>(h.extra.size()), true);
  Put32(r, seed::k3DataLength, static_cast<uint32_t>(payload.size()), false);
  r.insert(r.end(), h.id.begin(), h.id.end());
  r.insert(r.end(), h.extra.begin(), h.extra.end());
  r.insert(r.end(), payload.begin(), payload.end());
  SetCrc3(r);
  return r;
}

std::vector<unsigned char> EncodeRecord3(const Header3& h, const std::vector<int32_t>& samples) {
  const size_t count = samples.size();
  std::vector<unsigned char> payload;
  switch (h.encoding) {
    case 1: case 3: case 4: case 5: {
      Header v2;
      v2.encoding = h.encoding;
      v2.wordOrder = 0;
      v2.dataOffset = 64;
      v2.recordLength = static_cast<int>(64 + count * 8);
      const auto record = EncodeRecord(v2, samples);
      const size_t width = h.encoding == 1 ? 2 : h.encoding == 5 ? 8 : 4;
      payload.assign(record.begin() + 64, record.begin() + 64 + static_cast<long>(count * width));
      break;
    }
    default: {
      const auto diffs = Differences(samples, samples.empty() ? 0 : samples[0]);
      const auto words = h.encoding == 11 ? EncodeSteim2(diffs) : EncodeSteim1(diffs);
      const size_t extraFrames = words.size() > 13 ? (words.size() - 13 + 14) / 15 : 0;
      const int32_t x0 = samples.empty() ? 0 : samples.front(), xn = samples.empty() ? 0 : samples.back();
      payload = Frames(x0, xn, words, true, 64 * (1 + extraFrames));
    }
  }
  return Record3(h, payload, static_cast<uint32_t>(count));
}

void SetCrc3(std::vector<unsigned char>& r) {
  Put32(r, seed::k3Crc, 0, false);
  Put32(r, seed::k3Crc, seed::Crc32c(r.data(), r.size()), false);
}

}  // namespace seedgen
