// Pieces shared by the bit input, the table builder and the block decoder,
// and by nothing else.
#pragma once

#include <stdint.h>

#include "core/context.h"

// Records why the entry cannot go on; the first reason stands. The decoding
// routines then only run out their current step: the loops look at
// decodeResult and stop.
inline void Refuse(DecodeResult why) {
  if (context->decodeResult == kDecodeDone) context->decodeResult = why;
}

// Finds the symbol at the top of a 16-bit bit view: a direct lookup of the top
// tableBits bits, then, for longer codes, the tree below the entry. The walk
// ends after the view's last bit; a node still reached there was not built by
// any complete code: the table is refused and 0 comes back.
inline uint16_t LookUpSymbol(uint16_t bits, const uint16_t* table, int tableBits,
                             uint16_t symbolCount) {
  const ExtractContext& c = *context;
  uint16_t s = table[bits >> (16 - tableBits)];
  uint16_t mask = static_cast<uint16_t>(1u << (15 - tableBits));
  while (s >= symbolCount) {
    if (mask == 0 || s >= kNodeCount) {
      Refuse(kDecodeBadTable);
      return 0;
    }
    s = (bits & mask) ? c.rightNode[s] : c.leftNode[s];
    mask >>= 1;
  }
  return s;
}
