#pragma once
// Decoders of samples stored one value after the other at a fixed width:
// 16- and 32-bit integers, 32- and 64-bit IEEE floats. data points at the
// first value and length is the number of bytes from there to the end of the
// record; swap: values stored most significant byte first. The values that
// fit in length bytes are decoded into out (n floats); the rest are set
// to 0.0, with one diagnostic message.
namespace seed {

void DecodeInt16(const unsigned char* data, int length, int n, float* out, bool swap);
void DecodeInt32(const unsigned char* data, int length, int n, float* out, bool swap);
void DecodeFloat32(const unsigned char* data, int length, int n, float* out, bool swap);
// Each value rounded to the nearest single-precision value.
void DecodeFloat64(const unsigned char* data, int length, int n, float* out, bool swap);

}  // namespace seed
