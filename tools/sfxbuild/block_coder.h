// Block coding: the Huffman codes of a block (lengths limited to 16 bits,
// canonical codes), the bit costs they give the next parse, and the block
// itself written out with its three code-length tables.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "encoder_internal.h"

namespace lzhenc {
namespace internal {

// Canonical codes as the decoder assigns them: shorter codes first, and within
// one length ascending symbol order.
inline void CanonicalCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  uint32_t perLength[kMaxCodeLength + 2] = {};
  for (int i = 0; i < count; ++i) ++perLength[lengths[i]];
  perLength[0] = 0;
  uint32_t next[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    code = (code + perLength[len - 1]) << 1;
    next[len] = code;
  }
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) codes[i] = static_cast<uint16_t>(next[lengths[i]]++);
}

inline int UsedSymbols(const uint32_t* freq, int count, int* only) {
  int used = 0;
  for (int i = 0; i < count; ++i)
    if (freq[i] != 0) {
      ++used;
      *only = i;
    }
  return used;
}

// Bit costs from code lengths; a symbol the lengths leave out costs a little
// more than the longest used code, so the parse can still pick it up.
inline void ModelFromLengths(const uint8_t* charLen, const uint8_t* posLen, int posCodes, CostModel& m) {
  int maxChar = 1;
  for (int i = 0; i < kCharCodeCount; ++i) maxChar = std::max<int>(maxChar, charLen[i]);
  for (int i = 0; i < kCharCodeCount; ++i)
    m.charCost[i] = charLen[i] != 0 ? charLen[i] : std::min(maxChar + 2, 18);
  for (int l = 0; l <= kMaxMatch + kLanePad; ++l)
    m.lenCost[l] = l < kMinMatch || l > kMaxMatch ? 0 : m.charCost[kMatchSymbolBase + l];
  int maxPos = 1;
  for (int j = 0; j < posCodes; ++j) maxPos = std::max<int>(maxPos, posLen[j]);
  for (int j = 0; j < kMaxPosCodeCount; ++j) {
    uint32_t len = j < posCodes ? (posLen[j] != 0 ? posLen[j] : std::min(maxPos + 2, 18)) : 64;
    m.posCost[j] = len + ExtraBits(j);
  }
}

// Fixes lengths above the limit: the classic count adjustment, then lengths
// handed out again by frequency rank.
inline void LimitLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths) {
  uint32_t perLength[64] = {};
  int longest = 0;
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) {
      ++perLength[lengths[i]];
      longest = std::max<int>(longest, lengths[i]);
    }
  if (longest <= maxLength) return;
  for (int l = maxLength + 1; l <= longest; ++l) {
    perLength[maxLength] += perLength[l];
    perLength[l] = 0;
  }
  uint64_t kraft = 0;
  for (int l = 1; l <= maxLength; ++l) kraft += uint64_t{perLength[l]} << (maxLength - l);
  while (kraft > (uint64_t{1} << maxLength)) {
    --perLength[maxLength];
    for (int l = maxLength - 1; l > 0; --l)
      if (perLength[l] != 0) {
        --perLength[l];
        perLength[l + 1] += 2;
        break;
      }
    --kraft;
  }
  std::vector<int> order;
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return freq[a] > freq[b]; });
  size_t k = 0;
  for (int l = 1; l <= maxLength; ++l)
    for (uint32_t n = 0; n < perLength[l]; ++n) lengths[order[k++]] = static_cast<uint8_t>(l);
}

class BlockCoder {
 public:
  BlockCoder(BitWriter& out, int posCodes, int posCountBits)
      : out_(out), posCodes_(posCodes), posCountBits_(posCountBits) {}

  // Code lengths of the block, for the caller's cost model and trace.
  void Measure(const std::vector<Code>& codes) {
    memset(charFreq_, 0, sizeof charFreq_);
    memset(posFreq_, 0, sizeof posFreq_);
    for (const Code& c : codes) {
      ++charFreq_[c.symbol];
      if (c.symbol >= 256) ++posFreq_[PositionCode(c.distance)];
    }
    HuffmanLengths(charFreq_, kCharCodeCount, kMaxCodeLength, charLen_);
    HuffmanLengths(posFreq_, posCodes_, kMaxCodeLength, posLen_);
  }

  // A table of at most one used symbol: every length 0, then a count of 0
  // and the symbol that every code of the block stands for.
  void WriteSingle(uint8_t* lengths, size_t size, int countBits, int symbol) {
    memset(lengths, 0, size);
    out_.Put(countBits, 0);
    out_.Put(countBits, static_cast<uint32_t>(symbol));
  }

  void Write(const std::vector<Code>& codes, std::vector<BlockTrace>* trace) {
    Measure(codes);
    out_.Put(kBlockCountBits, static_cast<uint32_t>(codes.size()));
    int onlyChar = 0;
    if (UsedSymbols(charFreq_, kCharCodeCount, &onlyChar) <= 1) {
      WriteSingle(lengthLen_, sizeof lengthLen_, kLengthCountBits, 0);
      WriteSingle(charLen_, sizeof charLen_, kCharCountBits, onlyChar);
    } else {
      WriteCharLengths();
    }
    int onlyPos = 0;
    if (UsedSymbols(posFreq_, posCodes_, &onlyPos) <= 1) {
      WriteSingle(posLen_, sizeof posLen_, posCountBits_, onlyPos);
    } else {
      WriteLengths(posLen_, posCodes_, posCountBits_, -1);
    }
    uint16_t charCode[kCharCodeCount];
    uint16_t posCode[kMaxPosCodeCount];
    CanonicalCodes(charLen_, kCharCodeCount, charCode);
    CanonicalCodes(posLen_, posCodes_, posCode);
    for (const Code& c : codes) {
      if (charLen_[c.symbol] != 0) out_.Put(charLen_[c.symbol], charCode[c.symbol]);
      if (c.symbol < 256) continue;
      int j = PositionCode(c.distance);
      if (posLen_[j] != 0) out_.Put(posLen_[j], posCode[j]);
      if (j >= 2) out_.Put(j - 1, c.distance);  // the top bit is implied
    }
    if (trace) {
      BlockTrace t;
      t.codes = static_cast<uint32_t>(codes.size());
      t.charLengths.assign(charLen_, charLen_ + kCharCodeCount);
      t.lengthLengths.assign(lengthLen_, lengthLen_ + kLengthCodeCount);
      t.posLengths.assign(posLen_, posLen_ + posCodes_);
      for (const Code& c : codes) t.inputBytes += CodeBytes(c);
      trace->push_back(t);
    }
  }

  const uint8_t* CharLengths() const { return charLen_; }
  const uint8_t* PosLengths() const { return posLen_; }

 private:
  // One code-length value: 0..6 in three bits, 7 and more as 111 and a unary tail.
  void PutLength(int len) {
    if (len < kLengthEscape) out_.Put(3, static_cast<uint32_t>(len));
    else out_.Put(len - 3, (1u << (len - 3)) - 2);
  }

  // Length tables read by the decoder's position-length reader: a count, the
  // lengths, and with a special index a 2-bit zero run after that index.
  void WriteLengths(const uint8_t* lengths, int count, int countBits, int special) {
    int n = count;
    while (n > 0 && lengths[n - 1] == 0) --n;
    out_.Put(countBits, static_cast<uint32_t>(n));
    int i = 0;
    while (i < n) {
      PutLength(lengths[i++]);
      if (i == special) {
        int z = 0;
        while (z < 3 && i + z < n && lengths[i + z] == 0) ++z;
        out_.Put(2, static_cast<uint32_t>(z));
        i += z;
      }
    }
  }

  struct LengthToken {
    uint8_t symbol;
    uint8_t extraBits;
    uint16_t extra;
  };

  void WriteCharLengths() {
    int n = kCharCodeCount;
    while (n > 0 && charLen_[n - 1] == 0) --n;
    std::vector<LengthToken> tokens;
    for (int i = 0; i < n;) {
      if (charLen_[i] != 0) {
        tokens.push_back({static_cast<uint8_t>(charLen_[i] + kZeroRunSymbols - 1), 0, 0});
        ++i;
        continue;
      }
      int run = 0;
      while (i + run < n && charLen_[i + run] == 0) ++run;
      i += run;
      // Runs of 3 to 18 and from 20 have codes; 19 is one zero and a run of 18.
      const int shortMax = kZeroRunShortBase + (1 << kZeroRunShortBits) - 1;
      if (run < kZeroRunShortBase) {
        for (int k = 0; k < run; ++k) tokens.push_back({0, 0, 0});
      } else if (run <= shortMax) {
        tokens.push_back({1, kZeroRunShortBits, static_cast<uint16_t>(run - kZeroRunShortBase)});
      } else if (run < kZeroRunLongBase) {
        tokens.push_back({0, 0, 0});
        tokens.push_back({1, kZeroRunShortBits, static_cast<uint16_t>(run - 1 - kZeroRunShortBase)});
      } else {
        tokens.push_back({2, kZeroRunLongBits, static_cast<uint16_t>(run - kZeroRunLongBase)});
      }
    }
    uint32_t freq[kLengthCodeCount] = {};
    for (const LengthToken& t : tokens) ++freq[t.symbol];
    int onlyToken = 0;
    if (UsedSymbols(freq, kLengthCodeCount, &onlyToken) <= 1) {
      WriteSingle(lengthLen_, sizeof lengthLen_, kLengthCountBits, onlyToken);
    } else {
      HuffmanLengths(freq, kLengthCodeCount, kMaxCodeLength, lengthLen_);
      WriteLengths(lengthLen_, kLengthCodeCount, kLengthCountBits, kLengthCodeSpecial);
    }
    uint16_t codes[kLengthCodeCount];
    CanonicalCodes(lengthLen_, kLengthCodeCount, codes);
    out_.Put(kCharCountBits, static_cast<uint32_t>(n));
    for (const LengthToken& t : tokens) {
      if (lengthLen_[t.symbol] != 0) out_.Put(lengthLen_[t.symbol], codes[t.symbol]);
      if (t.extraBits) out_.Put(t.extraBits, t.extra);
    }
  }

  BitWriter& out_;
  int posCodes_;
  int posCountBits_;
  uint32_t charFreq_[kCharCodeCount];
  uint32_t posFreq_[kMaxPosCodeCount];
  uint8_t charLen_[kCharCodeCount] = {};
  uint8_t posLen_[kMaxPosCodeCount] = {};
  uint8_t lengthLen_[kLengthCodeCount] = {};
};

}  // namespace internal
}  // namespace lzhenc
