// Pieces shared by the bit input, the table builder and the block decoder,
// and by nothing else.
#pragma once

#include <stdint.h>

#include "core/context.h"

// "Bad table" naming the archive, then the end of the run.
[[noreturn]] void FailBadTable();
// "読み込みエラー" naming the archive, the abort flag, then the end of the run.
[[noreturn]] void FailRead();

// Number of bytes of the current entry that are already in readBuffer and
// not yet taken: a refill reads min(wanted, 16384) bytes, so the buffer holds
// valid bytes up to whichever comes first, its end or the entry's end.
inline uint32_t BufferedBytes(const ExtractContext& c) {
  if (c.readIndex >= kReadBufferSize) return 0;
  uint32_t room = kReadBufferSize - c.readIndex;
  return c.packedLeft < room ? c.packedLeft : room;
}

// Finds the symbol at the top of a 16-bit bit view: a direct lookup of the top
// tableBits bits, then, for longer codes, the tree below the entry. The walk
// ends after the view's last bit; a node still reached there was not built by
// any complete code and ends the run with "Bad table".
inline uint16_t LookUpSymbol(uint16_t bits, const uint16_t* table, int tableBits,
                             uint16_t symbolCount) {
  const ExtractContext& c = *context;
  uint16_t s = table[bits >> (16 - tableBits)];
  uint16_t mask = static_cast<uint16_t>(1u << (15 - tableBits));
  while (s >= symbolCount) {
    if (mask == 0 || s >= kNodeCount) FailBadTable();
    s = (bits & mask) ? c.rightNode[s] : c.leftNode[s];
    mask >>= 1;
  }
  return s;
}
