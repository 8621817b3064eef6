#include "seed/steim.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <climits>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/diag.h"
#include "seed/record.h"

namespace seed {
namespace {

constexpr int kFrameBytes = 64;
constexpr int kWordsPerFrame = 16;

// Sign-extends the width-bit field that starts shift bits above bit 0.
inline int32_t Field(uint32_t word, int shift, int width) {
  return static_cast<int32_t>(word << (32 - shift - width)) >> (32 - width);
}

// The running value of a Steim decoder. Every sum of 32-bit differences in
// one record stays far below 2^53, so the 64-bit integer holds exactly what
// a double accumulator would, and converts to the same nearest float.
struct Integrator {
  int64_t acc = 0;
  int f = 0;  // differences used so far
  int n;
  float* out;

  Integrator(int count, float* samples) : n(count), out(samples) {}

  // X0 enters at the first difference of word 3 of frame 0.
  void Anchor(int32_t x0, int32_t firstDiff) { acc = int64_t{x0} - firstDiff; }

  void Add(const int32_t* d, int k) {
    for (int i = 0; i < k; ++i) {
      acc += d[i];
      if (f + i < n) out[f + i] = static_cast<float>(acc);
    }
    f += k;
  }
};

template <bool Swap>
inline uint32_t Word32(const unsigned char* p) {
  return Swap ? LoadBE32(p) : LoadLE32(p);
}
template <bool Swap>
inline int16_t Half16(const unsigned char* p) {
  return static_cast<int16_t>(Swap ? LoadBE16(p) : LoadLE16(p));
}

// Cuts the differences out of one Steim1 word; returns how many. The two
// 16-bit differences are bytes 0-1 and 2-3 of the word, each in the word order.
template <bool Swap>
inline int Steim1Word(const unsigned char* p, int code, int32_t* d) {
  switch (code) {
    case 1:
      for (int i = 0; i < 4; ++i) d[i] = static_cast<int8_t>(p[i]);
      return 4;
    case 2:
      d[0] = Half16<Swap>(p);
      d[1] = Half16<Swap>(p + 2);
      return 2;
    case 3:
      d[0] = static_cast<int32_t>(Word32<Swap>(p));
      return 1;
    default:
      return 0;
  }
}

inline int Steim2Word(const unsigned char* p, int code, bool swap, int32_t* d) {
  if (code == 0) return 0;
  if (code == 1) {
    for (int i = 0; i < 4; ++i) d[i] = static_cast<int8_t>(p[i]);
    return 4;
  }
  const uint32_t w = swap ? LoadBE32(p) : LoadLE32(p);
  const unsigned sub = w >> 30;
  if (code == 2) {
    switch (sub) {
      case 1: d[0] = Field(w, 0, 30); return 1;
      case 2: d[0] = Field(w, 15, 15); d[1] = Field(w, 0, 15); return 2;
      case 3: d[0] = Field(w, 20, 10); d[1] = Field(w, 10, 10); d[2] = Field(w, 0, 10); return 3;
      default: return 0;
    }
  }
  switch (sub) {
    case 0:
      for (int i = 0; i < 5; ++i) d[i] = Field(w, 24 - 6 * i, 6);
      return 5;
    case 1:
      for (int i = 0; i < 6; ++i) d[i] = Field(w, 25 - 5 * i, 5);
      return 6;
    case 2:
      for (int i = 0; i < 7; ++i) d[i] = Field(w, 24 - 4 * i, 4);
      return 7;
    default:
      return 0;
  }
}

// Frames that lie wholly inside the record.
int FrameCount(const unsigned char* record, const unsigned char* data, int R) {
  long room = R - (data - record);
  return room >= kFrameBytes ? static_cast<int>(room / kFrameBytes) : 0;
}

void ReportNoFrame(int steim, const unsigned char* record, const unsigned char* data, int R, int n) {
  platform::DebugOutputF(
      "Steim%d data at offset %ld leave no whole frame in the %d-byte record... %d values will be "
      "Padded with Zeros\n",
      steim, static_cast<long>(data - record), R, n);
}

// Walks the frames, handing each word's differences to add(d, k) until it
// returns false.
template <typename WordFn, typename AddFn>
void WalkFrames(const unsigned char* data, int frames, bool swap, int32_t x0, WordFn word,
                Integrator& in, AddFn add) {
  int32_t d[7];
  for (int fr = 0; fr < frames; ++fr) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = swap ? LoadBE32(frame) : LoadLE32(frame);
    for (int w = 1; w < kWordsPerFrame; ++w) {
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      const int k = word(frame + 4 * w, code, d);
      if (k == 0) continue;
      if (fr == 0 && w == 3) in.Anchor(x0, d[0]);
      if (!add(d, k)) return;
    }
  }
}

}  // namespace

namespace {

// One difference straight into the output; the fast paths below use it
// only while enough samples remain, so no bound check is needed.
inline void Emit(int64_t& acc, float* o, int j, int32_t d) {
  acc += d;
  o[j] = static_cast<float>(acc);
}

// The Count fields of Width bits that end at bit 0 of v, most significant
// first, unrolled at compile time.
template <int Count, int Width>
inline int EmitFields(int64_t& acc, float* o, uint32_t v) {
  [&]<int... I>(std::integer_sequence<int, I...>) {
    (Emit(acc, o, I, Field(v, (Count - 1 - I) * Width, Width)), ...);
  }(std::make_integer_sequence<int, Count>{});
  return Count;
}

// One word's differences, as many as samples remain; false once none remain.
inline bool Steim2Checked(const unsigned char* p, int code, bool swap, int n, float* out, int64_t& acc, int& f) {
  int32_t d[7];
  const int k = Steim2Word(p, code, swap, d);
  const int m = k < n - f ? k : n - f;
  for (int i = 0; i < m; ++i) {
    acc += d[i];
    out[f + i] = static_cast<float>(acc);
  }
  f += m;
  return f < n;
}

// Frames 1.. of a Steim2 record: while 7 or more samples remain each word's
// differences go straight to out; near the end the checked path takes over.
template <bool Swap>
void Steim2Rest(const unsigned char* data, int frames, int n, float* out, Integrator& in) {
  int64_t acc = in.acc;
  int f = in.f;
  for (int fr = 1; fr < frames && f < n; ++fr) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = Word32<Swap>(frame);
    for (int w = 1; w < kWordsPerFrame; ++w) {
      const unsigned char* p = frame + 4 * w;
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (code == 0) continue;
      if (n - f >= 7) {
        float* o = out + f;
        if (code == 1) {
          Emit(acc, o, 0, static_cast<int8_t>(p[0]));
          Emit(acc, o, 1, static_cast<int8_t>(p[1]));
          Emit(acc, o, 2, static_cast<int8_t>(p[2]));
          Emit(acc, o, 3, static_cast<int8_t>(p[3]));
          f += 4;
          continue;
        }
        const uint32_t v = Word32<Swap>(p);
        switch ((code - 2) * 4 + static_cast<int>(v >> 30)) {
          case 1: f += EmitFields<1, 30>(acc, o, v); break;
          case 2: f += EmitFields<2, 15>(acc, o, v); break;
          case 3: f += EmitFields<3, 10>(acc, o, v); break;
          case 4: f += EmitFields<5, 6>(acc, o, v); break;
          case 5: f += EmitFields<6, 5>(acc, o, v); break;
          case 6: f += EmitFields<7, 4>(acc, o, v); break;
          default: break;
        }
        continue;
      }
      if (!Steim2Checked(p, code, Swap, n, out, acc, f)) break;
    }
  }
  in.acc = acc;
  in.f = f;
}

#if defined(__x86_64__)
// The shifts that cut difference i out of a Steim2 word, by code * 4 + the
// word's top two bits (which code 1 does not have), for eight lanes at once:
// a left shift of 32 leaves 0 in the lanes past the word's count.
struct Steim2Lanes {
  alignas(32) int32_t lsh[8];
  alignas(32) int32_t rsh[8];  // the same in every lane
  int32_t count;
  int32_t reach;  // the most its differences can move the running value
};

constexpr Steim2Lanes MakeLanes(int count, int width) {
  Steim2Lanes s{{}, {}, count, count == 0 ? 0 : count << (width - 1)};
  for (int i = 0; i < 8; ++i) {
    s.lsh[i] = i < count ? 32 - (count - i) * width : 32;
    s.rsh[i] = 32 - width;
  }
  return s;
}

constexpr Steim2Lanes kNone = MakeLanes(0, 32), kBytes = MakeLanes(4, 8);
constexpr Steim2Lanes kSteim2Lanes[16] = {
    kNone,           kNone,           kNone,           kNone,            // code 0
    kBytes,          kBytes,          kBytes,          kBytes,           // code 1
    kNone,           MakeLanes(1, 30), MakeLanes(2, 15), MakeLanes(3, 10),  // code 2
    MakeLanes(5, 6), MakeLanes(6, 5),  MakeLanes(7, 4),  kNone,            // code 3
};

// One word's differences cut into eight 32-bit lanes; s is the word's kind.
template <bool Swap>
__attribute__((target("avx2"), always_inline)) inline __m256i CutLanes(const unsigned char* p, int code,
                                                                       const Steim2Lanes*& s) {
  __m256i word;
  int top;  // the word's two top bits
  if constexpr (Swap) {
    // Stored most significant byte first, as code 1's bytes are taken.
    const __m256i swapBytes = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,  //
                                               3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    uint32_t raw;
    std::memcpy(&raw, p, sizeof raw);
    word = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int32_t>(raw)), swapBytes);
    top = p[0] >> 6;
  } else {
    const uint32_t v = LoadLE32(p);
    word = _mm256_set1_epi32(static_cast<int32_t>(code == 1 ? LoadBE32(p) : v));
    top = static_cast<int>(v >> 30);
  }
  s = &kSteim2Lanes[code * 4 + top];
  const __m256i x = _mm256_sllv_epi32(word, _mm256_load_si256(reinterpret_cast<const __m256i*>(s->lsh)));
  return _mm256_srav_epi32(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(s->rsh)));
}

// Frames 1.. as Steim2Rest, with a word's differences cut, summed and
// converted in eight lanes: no branch on the word's kind, which the data
// make unpredictable. It writes 8 values of which those past the word's
// count are overwritten later or padded. The running value must then stay
// within 2^30 so that 32-bit lanes sum exactly; beyond, the checked path
// takes the word. Both convert the same integer to the nearest float.
template <bool Swap>
__attribute__((target("avx2"))) void Steim2RestAvx2(const unsigned char* data, int frames, int n, float* out,
                                                    Integrator& in) {
  constexpr int64_t kLaneLimit = int64_t{1} << 30;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lane3 = _mm256_set1_epi32(3);
  int64_t acc = in.acc;
  int f = in.f;
  for (int fr = 1; fr < frames && f < n; ++fr) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = Word32<Swap>(frame);
    for (int w = 1; w < kWordsPerFrame; ++w) {
      const unsigned char* p = frame + 4 * w;
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (n - f >= 8 && acc <= kLaneLimit && acc >= -kLaneLimit) {
        const Steim2Lanes* s;
        __m256i x = CutLanes<Swap>(p, code, s);
        // Running sums within each half, then the low half's total into the high one.
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
        x = _mm256_add_epi32(x, _mm256_blend_epi32(zero, _mm256_permutevar8x32_epi32(x, lane3), 0xF0));
        const __m256i values = _mm256_add_epi32(x, _mm256_set1_epi32(static_cast<int32_t>(acc)));
        _mm256_storeu_ps(out + f, _mm256_cvtepi32_ps(values));
        acc += _mm256_extract_epi32(x, 7);
        f += s->count;
        continue;
      }
      if (code == 0) continue;
      if (!Steim2Checked(p, code, Swap, n, out, acc, f)) break;
    }
  }
  in.acc = acc;
  in.f = f;
}

// One word's differences into eight lanes at out + f, as 32-bit integers.
template <bool Swap>
__attribute__((target("avx2"), always_inline)) inline void CutWord(const unsigned char* p, int code, float* out, int& f,
                                                                   int64_t& reach) {
  const Steim2Lanes* s;
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + f), CutLanes<Swap>(p, code, s));
  f += s->count;
  reach += s->reach;
}

// Frames 1.. in two passes: first each word's differences are cut out and
// packed into out as 32-bit integers, then they are summed and converted
// eight at a time. Cutting then never waits on the running value, and the
// sums take one vector step per eight samples instead of one per word. The
// lanes wrap at 32 bits, which is exact while every running value fits in
// them; where the words' widths cannot promise that, the word-by-word path
// decodes the frames instead.
template <bool Swap>
__attribute__((target("avx2"))) void Steim2RestPacked(const unsigned char* data, int frames, int n, float* out,
                                                      Integrator& in) {
  int f = in.f;
  int64_t reach = 0;
  int fr = 1, w = 1;
  for (; fr < frames; ++fr, w = 1) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = Word32<Swap>(frame);
    // Eight lanes fit behind each of the frame's 15 words, of at most 7
    // samples each, while 14 such words and eight more fit before n: the
    // words then go without a check each.
    if (n - f >= 7 * (kWordsPerFrame - 2) + 8) {
      for (; w < kWordsPerFrame; ++w)
        CutWord<Swap>(frame + 4 * w, static_cast<int>(ctrl >> (30 - 2 * w)) & 3, out, f, reach);
      continue;
    }
    for (; w < kWordsPerFrame && n - f >= 8; ++w)
      CutWord<Swap>(frame + 4 * w, static_cast<int>(ctrl >> (30 - 2 * w)) & 3, out, f, reach);
    if (w < kWordsPerFrame) break;  // eight lanes no longer fit before n
  }
  if (in.acc + reach > INT32_MAX || in.acc - reach < INT32_MIN) {
    Steim2RestAvx2<Swap>(data, frames, n, out, in);
    return;
  }
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lane3 = _mm256_set1_epi32(3), lane7 = _mm256_set1_epi32(7);
  __m256i carry = _mm256_set1_epi32(static_cast<int32_t>(in.acc));
  int i = in.f;
  for (; i + 8 <= f; i += 8) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out + i));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    x = _mm256_add_epi32(x, _mm256_blend_epi32(zero, _mm256_permutevar8x32_epi32(x, lane3), 0xF0));
    _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(_mm256_add_epi32(x, carry)));
    // The eight's total apart, so that the next eight wait on one addition only.
    carry = _mm256_add_epi32(carry, _mm256_permutevar8x32_epi32(x, lane7));
  }
  int64_t acc = _mm256_cvtsi256_si32(carry);
  for (; i < f; ++i) {
    int32_t d;
    std::memcpy(&d, out + i, sizeof d);
    acc += d;
    out[i] = static_cast<float>(acc);
  }
  in.acc = acc;
  in.f = f;
  // Fewer than eight samples from the end: word by word, checked.
  for (; fr < frames; ++fr, w = 1) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = Word32<Swap>(frame);
    for (; w < kWordsPerFrame; ++w) {
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (code != 0 && !Steim2Checked(frame + 4 * w, code, Swap, n, out, in.acc, in.f)) return;
    }
  }
}
#endif

std::atomic<bool> g_VectorDecoding{true};

bool UseAvx2() {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 && g_VectorDecoding.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

template <bool Swap>
void Steim1(const unsigned char* record, const unsigned char* data, int R, int n, float* out) {
  const int frames = FrameCount(record, data, R);
  if (frames == 0) {
    if (n > 0) ReportNoFrame(1, record, data, R, n);
    std::fill(out, out + std::max(n, 0), 0.0f);
    return;
  }
  const int32_t x0 = static_cast<int32_t>(Word32<Swap>(data + 4));
  Integrator in(n, out);
  WalkFrames(data, 1, Swap, x0, Steim1Word<Swap>, in, [&](const int32_t* d, int k) {
    in.Add(d, k);
    return true;
  });
  int64_t acc = in.acc;
  int f = in.f;
  int32_t d[4];
  for (int fr = 1; fr < frames; ++fr) {
    const unsigned char* frame = data + fr * kFrameBytes;
    const uint32_t ctrl = Word32<Swap>(frame);
    for (int w = 1; w < kWordsPerFrame; ++w) {
      const unsigned char* p = frame + 4 * w;
      const int code = static_cast<int>(ctrl >> (30 - 2 * w)) & 3;
      if (code == 0) continue;
      if (n - f >= 4) {
        float* o = out + f;
        if (code == 1) {
          Emit(acc, o, 0, static_cast<int8_t>(p[0]));
          Emit(acc, o, 1, static_cast<int8_t>(p[1]));
          Emit(acc, o, 2, static_cast<int8_t>(p[2]));
          Emit(acc, o, 3, static_cast<int8_t>(p[3]));
          f += 4;
        } else if (code == 2) {
          Emit(acc, o, 0, Half16<Swap>(p));
          Emit(acc, o, 1, Half16<Swap>(p + 2));
          f += 2;
        } else {
          Emit(acc, o, 0, static_cast<int32_t>(Word32<Swap>(p)));
          f += 1;
        }
        continue;
      }
      const int k = Steim1Word<Swap>(p, code, d);
      for (int i = 0; i < k; ++i) {
        acc += d[i];
        if (f + i < n) out[f + i] = static_cast<float>(acc);
      }
      f += k;
    }
  }
  if (f > n)
    platform::DebugOutputF("Expected %d, found %d samples... Extra values will be Truncated\n", n, f);
  for (int i = f; i < n; ++i) out[i] = 0.0f;
}

}  // namespace

void SetVectorDecoding(bool allowed) { g_VectorDecoding = allowed; }

void DecodeSteim1(const unsigned char* record, const unsigned char* data, int R, int n, float* out,
                  bool swap) {
  if (swap)
    Steim1<true>(record, data, R, n, out);
  else
    Steim1<false>(record, data, R, n, out);
}

void DecodeSteim2(const unsigned char* record, const unsigned char* data, int R, int n, float* out,
                  bool swap) {
  const int frames = FrameCount(record, data, R);
  const bool haveXn = R - (data - record) >= 12;
  const auto load = [swap](const unsigned char* p) {
    return static_cast<int32_t>(swap ? LoadBE32(p) : LoadLE32(p));
  };
  const int32_t x0 = haveXn ? load(data + 4) : 0;
  const int32_t xn = haveXn ? load(data + 8) : 0;
  if (frames == 0 && n > 0) ReportNoFrame(2, record, data, R, n);

  Integrator in(n, out);
  const auto word = [swap](const unsigned char* p, int code, int32_t* d) {
    return Steim2Word(p, code, swap, d);
  };
  bool more = true;
  WalkFrames(data, frames > 0 ? 1 : 0, swap, x0, word, in, [&](const int32_t* d, int k) {
    in.Add(d, k < n - in.f ? k : n - in.f);
    return more = in.f < n;
  });
  if (more && frames > 1) {
#if defined(__x86_64__)
    if (UseAvx2()) {
      if (swap) Steim2RestPacked<true>(data, frames, n, out, in);
      else Steim2RestPacked<false>(data, frames, n, out, in);
    } else
#endif
    if (swap) Steim2Rest<true>(data, frames, n, out, in);
    else Steim2Rest<false>(data, frames, n, out, in);
  }
  if (in.f < n) {
    platform::DebugOutputF("!!! WARNING !!!  Steim2 Decompression Sample Count Error at Sample: %d\n", n);
    platform::DebugOutputF("Expected %d, found %d samples... Lost values will be Padded with Zeros\n", n,
                           in.f);
    for (int i = in.f; i < n; ++i) out[i] = 0.0f;
  }
  if (n > 0 && haveXn && static_cast<double>(out[n - 1]) != static_cast<double>(xn))
    platform::DebugOutput("bad final value\n");
}

}  // namespace seed
