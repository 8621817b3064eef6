#pragma once
// Steim1 and Steim2 decoders from the data section of one SEED data record
// to n float samples. out holds n floats; values that the record does not
// hold are set to 0.0. No decoder reads outside the R bytes of the
// record, whatever its header says, and complaints go to the diagnostic
// channel, one message per call.
namespace seed {

// Steim1 frames from data (at offset data - record) to the end of the R-byte
// record; swap: words stored most significant byte first.
void DecodeSteim1(const unsigned char* record, const unsigned char* data, int R, int n, float* out,
                  bool swap);

// Steim2 frames; swap: words stored most significant byte first.
void DecodeSteim2(const unsigned char* record, const unsigned char* data, int R, int n, float* out,
                  bool swap);

// Whether the decoders may use the processor's vector instructions where it
// has them (the default); both paths give the same samples, which tests and
// benchmarks compare.
void SetVectorDecoding(bool allowed);

}  // namespace seed
