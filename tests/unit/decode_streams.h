// Test helpers for the decoder: a bit writer for hand-made compressed streams,
// the canonical code of a length set, and block headers.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "platform/testing/host_platform.h"
#include "ui/scripted/scripted_ui.h"

// Most significant bit first, as the compressed data is read.
class BitWriter {
 public:
  // The low bits of value, most significant first (as the encoder's writer).
  void Put(int bits, uint32_t value) {
    for (int i = bits - 1; i >= 0; --i) Bit((value >> i) & 1u);
  }
  void Bit(uint32_t b) {
    acc_ = static_cast<uint8_t>((acc_ << 1) | (b & 1u));
    if (++used_ == 8) {
      bytes_.push_back(static_cast<char>(acc_));
      acc_ = 0;
      used_ = 0;
    }
  }
  // A length of a small alphabet: 0 to 6 in three bits, 7 and more as 111
  // followed by (length - 7) ones and a zero.
  void SmallLength(int len) {
    if (len < 7) {
      Put(3, static_cast<uint32_t>(len));
      return;
    }
    Put(3, 7);
    for (int i = 7; i < len; ++i) Bit(1);
    Bit(0);
  }
  size_t BitCount() const { return bytes_.size() * 8 + used_; }
  // The bytes so far, the last one padded with zero bits.
  std::string Bytes() const {
    std::string out = bytes_;
    if (used_ > 0) out.push_back(static_cast<char>(acc_ << (8 - used_)));
    return out;
  }

 private:
  std::string bytes_;
  uint8_t acc_ = 0;
  int used_ = 0;
};

// Canonical codes: shorter codes first, and within a length in ascending
// symbol order. codes[s] is meaningful where lengths[s] > 0.
inline std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  uint32_t code = 0;
  for (int len = 1; len <= 16; ++len) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == len) codes[s] = code++;
    }
    code <<= 1;
  }
  return codes;
}

// A complete code over the given symbols, as flat as it can be.
inline std::vector<int> FlatLengths(size_t alphabet, const std::vector<int>& symbols) {
  std::vector<int> lengths(alphabet, 0);
  size_t k = symbols.size();
  int m = 0;
  while ((1u << m) < k) ++m;
  size_t shorter = (1u << m) - k;   // these get m - 1 bits, the rest m
  for (size_t i = 0; i < k; ++i) lengths[symbols[i]] = i < shorter ? m - 1 : m;
  return lengths;
}

// A complete code whose lengths run 1, 2, ..., last - 1, last, last over the
// symbols given (last - 0 + 1 of them): the longest codes need tree walks.
inline std::vector<int> SkewedLengths(size_t alphabet, const std::vector<int>& symbols) {
  std::vector<int> lengths(alphabet, 0);
  for (size_t i = 0; i < symbols.size(); ++i) {
    int len = static_cast<int>(i) + 1;
    if (i + 1 == symbols.size()) len = static_cast<int>(i);
    lengths[symbols[i]] = len;
  }
  return lengths;
}

struct Code {
  explicit Code(std::vector<int> codeLengths) : lengths(std::move(codeLengths)) {}
  // Empty lengths: a one-value code giving this symbol without bits.
  Code(std::vector<int> codeLengths, int oneValue)
      : lengths(std::move(codeLengths)), value(oneValue) {}
  std::vector<int> lengths;      // empty: a one-value code
  int value = 0;                 // the symbol of a one-value code
  void Put(BitWriter& w, int symbol) const {
    if (lengths.empty()) return;
    if (codes.size() != lengths.size()) codes = CanonicalCodes(lengths);
    w.Put(lengths[symbol], codes[symbol]);
  }
  mutable std::vector<uint32_t> codes;
};

// The length code used to write character lengths: 13 symbols of 4 bits and
// 6 of 5 bits fill the code space.
inline std::vector<int> LengthCodeLengths() {
  std::vector<int> lengths(19, 4);
  for (int i = 13; i < 19; ++i) lengths[i] = 5;
  return lengths;
}

// Writes a block header: the number of codes, the length code, the character
// code and the position code (countBits 4 for 14 positions, 5 for 17).
inline void PutBlockHeader(BitWriter& w, uint16_t codes, const Code& chars, const Code& positions,
                           int posCountBits) {
  w.Put(16, codes);
  std::vector<int> lengthCode = LengthCodeLengths();
  if (chars.lengths.empty()) {
    // The length code is not needed: write a one-value one.
    w.Put(5, 0);
    w.Put(5, 0);
    w.Put(9, 0);
    w.Put(9, static_cast<uint32_t>(chars.value));
  } else {
    w.Put(5, 19);
    for (int i = 0; i < 19; ++i) {
      w.SmallLength(lengthCode[i]);
      if (i == 2) w.Put(2, 0);   // no zero-run after the third length
    }
    std::vector<uint32_t> lc = CanonicalCodes(lengthCode);
    int n = 0;
    for (int i = 0; i < 510; ++i) {
      if (chars.lengths[i] != 0) n = i + 1;
    }
    w.Put(9, static_cast<uint32_t>(n));
    for (int i = 0; i < n; ++i) {
      int sym = chars.lengths[i] == 0 ? 0 : chars.lengths[i] + 2;
      w.Put(lengthCode[sym], lc[sym]);
    }
  }
  if (positions.lengths.empty()) {
    w.Put(posCountBits, 0);
    w.Put(posCountBits, static_cast<uint32_t>(positions.value));
  } else {
    int n = 0;
    for (size_t i = 0; i < positions.lengths.size(); ++i) {
      if (positions.lengths[i] != 0) n = static_cast<int>(i) + 1;
    }
    w.Put(posCountBits, static_cast<uint32_t>(n));
    for (int i = 0; i < n; ++i) w.SmallLength(positions.lengths[i]);
  }
}

// A match distance value (the source lies value + 1 bytes back).
inline void PutPosition(BitWriter& w, const Code& positions, uint32_t value) {
  int j = 0;
  if (value < 2) {
    j = static_cast<int>(value);
  } else {
    while ((value >> j) > 1) ++j;
    ++j;   // 2^(j-1) <= value < 2^j
  }
  positions.Put(w, j);
  if (j >= 2) w.Put(j - 1, value - (1u << (j - 1)));
}
