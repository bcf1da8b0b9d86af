// The format's CRC-16 (reflected polynomial, initial value 0, no final
// inversion), folded eight bytes at a time: every 64 KB the decoder hands over
// passes through here.
#include "decode/decode.h"

void FillCrcTables(CrcTables* tables, uint16_t polynomial) {
  uint16_t* table = tables->table;
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      if (value & 1) {
        value = static_cast<uint16_t>((value >> 1) ^ polynomial);
      } else {
        value = static_cast<uint16_t>(value >> 1);
      }
    }
    table[i] = value;
  }
  // Each further slice pushes one more zero byte through the register.
  const uint16_t* previous = table;
  for (int k = 0; k < 7; ++k) {
    uint16_t* slice = tables->slices[k];
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t v = previous[i];
      slice[i] = static_cast<uint16_t>(table[v & 0xFF] ^ (v >> 8));
    }
    previous = slice;
  }
}

uint16_t FoldCrc(const CrcTables* tables, uint16_t start, const uint8_t* p, size_t n) {
  const uint16_t* t0 = tables->table;
  const uint16_t (*s)[256] = tables->slices;
  uint32_t crc = start;

  // The register is 16 bits wide, so after the first two bytes of a group only
  // the bytes themselves matter: each is looked up in the slice that accounts
  // for the bytes still following it in the group.
  while (n >= 8) {
    uint32_t c = crc ^ (p[0] | (static_cast<uint32_t>(p[1]) << 8));
    crc = s[6][c & 0xFF] ^ s[5][c >> 8] ^ s[4][p[2]] ^ s[3][p[3]] ^ s[2][p[4]] ^
          s[1][p[5]] ^ s[0][p[6]] ^ t0[p[7]];
    p += 8;
    n -= 8;
  }
  while (n != 0) {
    crc = t0[(crc ^ *p) & 0xFF] ^ (crc >> 8);
    ++p;
    --n;
  }
  return static_cast<uint16_t>(crc);
}
