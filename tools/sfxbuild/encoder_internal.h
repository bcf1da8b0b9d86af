// The encoder's shared vocabulary: its constants, the bit output, a code
// (literal or match) and the bit costs the parse weighs codes with. Included
// only by the encoder's own parts.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "encoder.h"

namespace lzhenc {
namespace internal {

constexpr uint32_t kDefaultChunkBytes = 32768;
constexpr uint32_t kTreeChunkBytes = 262144;
constexpr int kLanePad = 4;  // entries past the end that a four-lane step may touch
constexpr uint32_t kNone = 0xFFFFFFFFu;

// ---------------------------------------------------------------- bit output

class BitWriter {
 public:
  // Whole bytes go to the vector of the moment; the bits of an unfinished
  // byte wait for the next call.
  void To(std::vector<uint8_t>* out) { out_ = out; }
  // The low n bits of value, most significant first; n up to 24.
  void Put(int n, uint32_t value) {
    acc_ = (acc_ << n) | (value & ((1u << n) - 1));
    bits_ += n;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_->push_back(static_cast<uint8_t>(acc_ >> bits_));
    }
    acc_ &= (1u << bits_) - 1;
  }
  void Flush() {
    if (bits_ > 0) out_->push_back(static_cast<uint8_t>(acc_ << (8 - bits_)));
    acc_ = 0;
    bits_ = 0;
  }

 private:
  std::vector<uint8_t>* out_ = nullptr;
  uint32_t acc_ = 0;
  int bits_ = 0;
};

struct Code {
  uint16_t symbol;    // 0..255 literal, 256.. match of length symbol - kMatchSymbolBase
  uint16_t distance;  // distance value (bytes back - 1) for matches
};

// The input bytes a code stands for.
inline uint32_t CodeBytes(const Code& c) { return c.symbol < 256 ? 1 : c.symbol - kMatchSymbolBase; }

struct CostModel {
  uint32_t charCost[kCharCodeCount];
  uint32_t lenCost[kMaxMatch + 1 + kLanePad];  // charCost of each length, indexed by it
  uint32_t posCost[kMaxPosCodeCount];  // code length plus extra bits
};

inline int ExtraBits(int posCode) { return posCode < 2 ? 0 : posCode - 1; }

}  // namespace internal
}  // namespace lzhenc
