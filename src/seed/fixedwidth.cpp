#include "seed/fixedwidth.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/diag.h"

namespace seed {
namespace {

template <typename T>
using Bits = std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;

inline uint16_t ByteSwap(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t ByteSwap(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t ByteSwap(uint64_t v) { return __builtin_bswap64(v); }

template <typename T, bool BigEndian>
inline T Load(const unsigned char* p) {
  Bits<T> v;
  std::memcpy(&v, p, sizeof v);
  if constexpr ((std::endian::native == std::endian::big) != BigEndian) v = ByteSwap(v);
  return std::bit_cast<T>(v);
}

template <typename T, bool BigEndian>
void Convert(const unsigned char* data, int m, float* out) {
  for (int i = 0; i < m; ++i) out[i] = static_cast<float>(Load<T, BigEndian>(data + sizeof(T) * static_cast<size_t>(i)));
}

template <typename T>
void DecodeFixed(const unsigned char* data, int length, int n, float* out, bool swap, const char* what) {
  constexpr int kWidth = sizeof(T);
  const int fit = length > 0 ? length / kWidth : 0;
  const int m = n < fit ? n : fit;
  if (swap)
    Convert<T, true>(data, m, out);
  else
    Convert<T, false>(data, m, out);
  if (m < n) {
    std::fill(out + m, out + n, 0.0f);
    platform::DebugOutputF("Expected %d %s, only %d fit in the record... Lost values will be Padded with Zeros\n", n,
                           what, m);
  }
}

}  // namespace

void DecodeInt16(const unsigned char* data, int length, int n, float* out, bool swap) {
  DecodeFixed<int16_t>(data, length, n, out, swap, "16-bit values");
}

void DecodeInt32(const unsigned char* data, int length, int n, float* out, bool swap) {
  DecodeFixed<int32_t>(data, length, n, out, swap, "32-bit values");
}

void DecodeFloat32(const unsigned char* data, int length, int n, float* out, bool swap) {
  DecodeFixed<float>(data, length, n, out, swap, "32-bit floats");
}

void DecodeFloat64(const unsigned char* data, int length, int n, float* out, bool swap) {
  DecodeFixed<double>(data, length, n, out, swap, "64-bit floats");
}

}  // namespace seed
