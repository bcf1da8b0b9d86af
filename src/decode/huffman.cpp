// The three canonical Huffman codes of a block: reading their code lengths
// and building the direct tables and trees they are decoded with.
//
// A block is refused (kDecodeBadTable) whenever its lengths could make a table
// or tree reach outside its arrays or hand back something that is not a
// symbol: lengths above 16, sets that do not fill the code space exactly
// (over-full ones included, whatever their excess), more lengths or longer
// zero-runs than the character alphabet has room for, and one-value codes
// whose value is not a symbol. A set of nothing but zero lengths builds no
// code and leaves its table untouched; a lookup in such a code is refused.

#include "decode/decode_internal.h"

namespace {

// True when none of the first count lengths is set.
bool NoLengthSet(const uint8_t* lengths, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    if (lengths[i] != 0) return false;
  }
  return true;
}

}  // namespace

void MakeTable(DecodeState* s, uint16_t symbolCount, const uint8_t* lengths, int tableBits,
               uint16_t* table) {
  DecodeState& c = *s;
  if (tableBits < 1 || tableBits > kMaxCodeLength) return Refuse(s, kDecodeBadTable);

  uint32_t count[kMaxCodeLength + 1] = {};
  for (uint32_t i = 0; i < symbolCount; i++) {
    if (lengths[i] > kMaxCodeLength) return Refuse(s, kDecodeBadTable);
    count[lengths[i]]++;
  }

  // First code of each length in 16-bit code space. Kept in 32 bits, so that
  // a set over-filling the space by a multiple of 65536 is seen as what it is.
  uint32_t start[kMaxCodeLength + 2];
  start[1] = 0;
  for (int len = 1; len <= kMaxCodeLength; len++) {
    start[len + 1] = start[len] + (count[len] << (kMaxCodeLength - len));
  }
  if (start[kMaxCodeLength + 1] == 0) return;   // no code at all: nothing to build
  if (start[kMaxCodeLength + 1] != 0x10000u) return Refuse(s, kDecodeBadTable);

  const int shift = kMaxCodeLength - tableBits;
  const uint32_t tableSize = 1u << tableBits;
  uint32_t width[kMaxCodeLength + 1];
  for (int len = 1; len <= kMaxCodeLength; len++) {
    if (len <= tableBits) {
      start[len] >>= shift;
      width[len] = 1u << (tableBits - len);
    } else {
      width[len] = 1u << (kMaxCodeLength - len);
    }
  }

  // The entries behind the short codes become the roots of the trees.
  uint32_t treeStart = start[tableBits + 1] >> shift;
  for (uint32_t i = treeStart; i < tableSize; i++) table[i] = 0;

  uint32_t nextNode = symbolCount;
  for (uint32_t symbol = 0; symbol < symbolCount; symbol++) {
    int len = lengths[symbol];
    if (len == 0) continue;
    uint32_t code = start[len];
    start[len] = code + width[len];
    if (len <= tableBits) {
      for (uint32_t i = code; i < code + width[len]; i++) table[i] = static_cast<uint16_t>(symbol);
      continue;
    }
    uint16_t* slot = &table[code >> shift];
    for (int bit = kMaxCodeLength - 1 - tableBits; bit >= kMaxCodeLength - len; bit--) {
      if (*slot == 0) {
        if (nextNode >= kNodeCount) return Refuse(s, kDecodeBadTable);
        c.leftNode[nextNode] = 0;
        c.rightNode[nextNode] = 0;
        *slot = static_cast<uint16_t>(nextNode++);
      }
      // Only a node of this build can stand here when the code is complete.
      if (*slot < symbolCount || *slot >= kNodeCount) return Refuse(s, kDecodeBadTable);
      slot = ((code >> bit) & 1) ? &c.rightNode[*slot] : &c.leftNode[*slot];
    }
    *slot = static_cast<uint16_t>(symbol);
  }
}

void ReadPosLengths(DecodeState* s, int16_t symbolCount, int16_t countBits,
                    int16_t specialIndex) {
  DecodeState& c = *s;
  if (symbolCount <= 0 || symbolCount > static_cast<int16_t>(kPosLenCap) || countBits < 1 ||
      countBits > 16) {   // GetBits takes at most 16
    return Refuse(s, kDecodeBadTable);
  }
  // Past the end of the entry's data nothing more is read into a table: the
  // entry ends there (the caller sees decodeResult).
  const uint16_t n = GetBits(s, static_cast<uint8_t>(countBits));
  if (c.decodeResult != kDecodeDone) return;
  if (n == 0) {
    for (int16_t i = 0; i < symbolCount; i++) c.posLen[i] = 0;
    uint16_t value = GetBits(s, static_cast<uint8_t>(countBits));
    if (c.decodeResult != kDecodeDone) return;
    // The value would otherwise be taken for a tree node this block never made.
    if (value >= static_cast<uint16_t>(symbolCount)) return Refuse(s, kDecodeBadTable);
    for (uint32_t i = 0; i < (1u << kPosTableBits); i++) c.posTable[i] = value;
    c.posTableEmpty = 0;
    return;
  }
  // Lengths past the alphabet are read and then ignored; only a count that
  // would not fit posLen, with its zero-run, is refused.
  if (n + (specialIndex > 0 ? 3u : 0u) > kPosLenCap) return Refuse(s, kDecodeBadTable);

  uint32_t i = 0;
  while (i < n) {
    uint32_t len = GetBits(s, 3);
    if (len == kLengthEscape) {
      uint16_t ones = 0;
      for (uint16_t mask = 0x8000; mask != 0 && (c.bitBuffer & mask); mask >>= 1) ones++;
      FillBits(s, static_cast<uint8_t>(ones + 1));
      len += ones;
    }
    c.posLen[i++] = static_cast<uint8_t>(len);
    if (specialIndex > 0 && i == static_cast<uint32_t>(specialIndex)) {
      uint32_t zeros = GetBits(s, 2);
      while (zeros-- > 0) c.posLen[i++] = 0;
    }
  }
  for (; i < static_cast<uint32_t>(symbolCount); i++) c.posLen[i] = 0;
  if (c.decodeResult != kDecodeDone) return;

  MakeTable(s, static_cast<uint16_t>(symbolCount), c.posLen, kPosTableBits, c.posTable);
  c.posTableEmpty = NoLengthSet(c.posLen, static_cast<uint32_t>(symbolCount)) ? 1 : 0;
}

void ReadCharLengths(DecodeState* s) {
  DecodeState& c = *s;
  const uint16_t n = GetBits(s, kCharCountBits);
  if (c.decodeResult != kDecodeDone) return;
  if (n == 0) {
    for (uint32_t i = 0; i < kCharCodeCount; i++) c.charLen[i] = 0;
    uint16_t value = GetBits(s, kCharCountBits);
    if (c.decodeResult != kDecodeDone) return;
    if (value >= kCharCodeCount) return Refuse(s, kDecodeBadTable);
    for (uint32_t i = 0; i < (1u << kCharTableBits); i++) c.charTable[i] = value;
    c.charTableEmpty = 0;
    return;
  }
  if (n > kCharCodeCount) return Refuse(s, kDecodeBadTable);
  // The lengths are coded with the length code just read; with no code there
  // is nothing to look them up in.
  if (c.posTableEmpty) return Refuse(s, kDecodeBadTable);

  uint32_t i = 0;
  while (i < n) {
    uint16_t code = LookUpSymbol(s, c.bitBuffer, c.posTable, kPosTableBits, kLengthCodeCount);
    FillBits(s, c.posLen[code]);
    if (code < kZeroRunSymbols) {
      uint32_t zeros;
      if (code == 0) {
        zeros = 1;
      } else if (code == 1) {
        zeros = GetBits(s, kZeroRunShortBits) + kZeroRunShortBase;
      } else {
        zeros = GetBits(s, kZeroRunLongBits) + kZeroRunLongBase;
      }
      if (c.decodeResult != kDecodeDone) return;
      if (zeros > kCharCodeCount - i) return Refuse(s, kDecodeBadTable);
      while (zeros-- > 0) c.charLen[i++] = 0;
    } else {
      c.charLen[i++] = static_cast<uint8_t>(code - (kZeroRunSymbols - 1));
    }
  }
  for (; i < kCharCodeCount; i++) c.charLen[i] = 0;
  if (c.decodeResult != kDecodeDone) return;

  MakeTable(s, kCharCodeCount, c.charLen, kCharTableBits, c.charTable);
  c.charTableEmpty = NoLengthSet(c.charLen, kCharCodeCount) ? 1 : 0;
}
