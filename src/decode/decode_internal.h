// The codec's own steps: the bit input, the table builder and the single
// symbols, which the block decoder is made of. Nothing outside decode/ calls
// them, except the tests that take them one at a time.
#pragma once

#include <stdint.h>

#include "core/codec_state.h"

// The next byte of the entry's data through the read buffer (wanted: the
// entry's bytes still to come, this one included); -1 when the read fails.
int ReadArchiveByte(DecodeState* s, uint32_t wanted);
void FillBits(DecodeState* s, uint8_t n);
uint16_t GetBits(DecodeState* s, uint8_t n);
void StartBitInput(DecodeState* s, char methodDigit);

void MakeTable(DecodeState* s, uint16_t symbolCount, const uint8_t* lengths, int tableBits,
               uint16_t* table);
void ReadPosLengths(DecodeState* s, int16_t symbolCount, int16_t countBits,
                    int16_t specialIndex);
void ReadCharLengths(DecodeState* s);

uint16_t DecodeChar(DecodeState* s);
uint16_t DecodePosition(DecodeState* s);

// Records why the entry cannot go on; the first reason stands. The decoding
// routines then only run out their current step: the loops look at
// decodeResult and stop.
inline void Refuse(DecodeState* s, DecodeResult why) {
  if (s->decodeResult == kDecodeDone) s->decodeResult = why;
}

// Finds the symbol at the top of a 16-bit bit view: a direct lookup of the top
// tableBits bits, then, for longer codes, the tree below the entry. The walk
// ends after the view's last bit; a node still reached there was not built by
// any complete code: the table is refused and 0 comes back.
inline uint16_t LookUpSymbol(DecodeState* s, uint16_t bits, const uint16_t* table,
                             int tableBits, uint16_t symbolCount) {
  uint16_t symbol = table[bits >> (16 - tableBits)];
  uint16_t mask = static_cast<uint16_t>(1u << (15 - tableBits));
  while (symbol >= symbolCount) {
    if (mask == 0 || symbol >= kNodeCount) {
      Refuse(s, kDecodeBadTable);
      return 0;
    }
    symbol = (bits & mask) ? s->rightNode[symbol] : s->leftNode[symbol];
    mask >>= 1;
  }
  return symbol;
}
