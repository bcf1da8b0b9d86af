// The compressed bit stream of one entry: the state's byte source through a
// 16 KB read buffer, most significant bit first, zero bits after the entry's data.
// The buffer never asks the source for more than the entry still has, so a
// file's position ends exactly at the next entry header.
//
// The zero bits fill the lookahead only: a valid stream never consumes one.
// A symbol that does marks the entry overrun, so that an entry whose
// original size claims more than its data holds ends there instead of being
// decoded from zeros up to that size.

#include "decode/decode_internal.h"

int ReadArchiveByte(DecodeState* s, uint32_t wanted) {
  DecodeState& c = *s;
  if (c.readIndex >= kReadBufferSize) {
    uint32_t count = wanted < kReadBufferSize ? wanted : kReadBufferSize;
    uint32_t got = 0;
    if (!c.input.read(c.input.from, c.readBuffer, count, &got) || got < count) return -1;
    c.readIndex = 0;
  }
  return c.readBuffer[c.readIndex++];
}

void FillBits(DecodeState* s, uint8_t n) {
  DecodeState& c = *s;
  while (n > c.bitCount) {
    n = static_cast<uint8_t>(n - c.bitCount);
    // A shift by the full width of the byte must give 0, which C++ only
    // promises for the wider type used here.
    c.bitBuffer = static_cast<uint16_t>((static_cast<uint32_t>(c.bitBuffer) << c.bitCount) |
                                        (static_cast<uint32_t>(c.subBitBuffer) >> (8 - c.bitCount)));
    if (c.packedLeft != 0) {
      c.packedLeft--;
      int b = ReadArchiveByte(s, c.packedLeft + 1);
      if (b < 0) {
        // Nothing more is read; the zeros that follow are no overrun.
        Refuse(s, kDecodeReadError);
        c.packedLeft = 0;
        b = 0;
      }
      c.subBitBuffer = static_cast<uint8_t>(b);
    } else {
      c.subBitBuffer = 0;
      c.tailBits += 8;
    }
    c.bitCount = 8;
  }
  c.bitCount = static_cast<uint8_t>(c.bitCount - n);
  c.bitBuffer = static_cast<uint16_t>((static_cast<uint32_t>(c.bitBuffer) << n) |
                                      (static_cast<uint32_t>(c.subBitBuffer) >> (8 - n)));
  c.subBitBuffer = static_cast<uint8_t>(static_cast<uint32_t>(c.subBitBuffer) << n);
  // The lookahead holds 16 + bitCount bits; zero bits beyond those were taken.
  if (c.tailBits > 16u + c.bitCount) Refuse(s, kDecodeOverrun);
}

uint16_t GetBits(DecodeState* s, uint8_t n) {
  uint16_t value = static_cast<uint16_t>(s->bitBuffer >> (16 - n));
  FillBits(s, n);
  return value;
}

void StartBitInput(DecodeState* s, char methodDigit) {
  DecodeState& c = *s;
  if (methodDigit == '6' || methodDigit == '7') {
    c.posCodeCount = kPosCodeCountLarge;
    c.posCountBits = kPosCountBitsLarge;
  } else {
    c.posCodeCount = kPosCodeCountSmall;
    c.posCountBits = kPosCountBitsSmall;
  }
  c.bitBuffer = 0;
  c.subBitBuffer = 0;
  c.bitCount = 0;
  c.tailBits = 0;
  c.decodeResult = kDecodeDone;
  FillBits(s, 16);
  c.blockCodesLeft = 0;
}
