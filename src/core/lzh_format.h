// The numbers of the archive format, named once for the stub's reader and
// decoder and the builder's writer and encoder: the entry header, then the
// compressed format (-lh4- to -lh7-). A block: its code count, the code-length
// code, the character code's lengths coded with it, the position code's
// lengths, then the codes.
#pragma once

// Offsets of the fixed part of an entry header (levels 0 to 2 share them up
// to the level; from the file CRC on they are those of level 2).
enum : unsigned {
  kHeaderMethod = 2,
  kHeaderPackedSize = 7,
  kHeaderOriginalSize = 11,
  kHeaderTime = 15,
  kHeaderAttribute = 19,
  kHeaderLevel = 20,
  kHeaderFileCrc = 21,
  kHeaderOsId = 23,
  kHeaderFirstExtSize = 24,
  kHeaderFixedSize = 26,
};

// Types of the extended headers that follow the fixed part: each is
// [type][data][size of the next one (2)], its size counting all three.
enum : unsigned char {
  kExtHeaderCrc = 0x00,
  kExtFileName = 0x01,
  kExtDirectory = 0x02,
  kExtAttribute = 0x40,
  kExtUnixTime = 0x54,
};

// Walks a chain of extended headers in bytes[0, end): the size field at
// sizeAt announces the first, and each one's last two bytes announce the
// next; a size of 0 ends the chain. visit(type, data, dataLength) sees each
// in turn. False when one is shorter than its type and size fields or
// reaches past end.
template <typename Visit>
inline bool WalkExtendedHeaders(const unsigned char* bytes, unsigned long sizeAt,
                                unsigned long end, Visit visit) {
  for (;;) {
    if (sizeAt + 2 > end) return false;
    unsigned size = bytes[sizeAt] | (bytes[sizeAt + 1] << 8);
    if (size == 0) return true;
    if (size < 3 || sizeAt + 2 + size > end) return false;
    visit(bytes[sizeAt + 2], bytes + sizeAt + 3, size - 3);
    sizeAt += size;
  }
}

// MS-DOS attribute bits.
enum : unsigned short {
  kDosReadOnly = 0x01,
  kDosHidden = 0x02,
  kDosSystem = 0x04,
  kDosDirectory = 0x10,
  kDosArchive = 0x20,
};

// The compressed format.
enum {
  kMinMatch = 3,
  kMaxMatch = 256,
  kCharCodeCount = 510,                    // 256 literals + 254 match lengths
  kMatchSymbolBase = 256 - kMinMatch,      // a match of length n is symbol n + 253
  kMaxCodeLength = 16,
  kBlockCountBits = 16,                    // codes in a block, at most 65535

  // The code-length code: symbols 0-2 code runs of zero lengths (in the
  // character lengths), 3-18 the lengths 1-16.
  kLengthCodeCount = 19,
  kLengthCountBits = 5,
  kLengthCodeSpecial = 3,     // after the third length, a 2-bit count of zero lengths
  kLengthEscape = 7,          // a 3-bit length of 7 goes on in unary: 7 + a 1 bit each
  kZeroRunSymbols = 3,        // symbol 0: one zero; 1: 3 + a 4-bit count; 2: 20 + a 9-bit count
  kZeroRunShortBits = 4,
  kZeroRunShortBase = 3,
  kZeroRunLongBits = 9,
  kZeroRunLongBase = 20,
  kCharCountBits = 9,

  // The position code: 14 codes (count in 4 bits) for -lh4- and -lh5-, 17
  // codes (5 bits) for -lh6- and -lh7-. Code j > 1 is followed by j - 1 bits.
  kPosCodeCountSmall = 14,
  kPosCountBitsSmall = 4,
  kPosCodeCountLarge = 17,
  kPosCountBitsLarge = 5,
  kMaxPosCodeCount = kPosCodeCountLarge,
};
