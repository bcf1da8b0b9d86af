// The numbers of the compressed format (-lh4- to -lh7-), named once for the
// decoder and the builder's encoder. A block: its code count, the code-length
// code, the character code's lengths coded with it, the position code's
// lengths, then the codes.
#pragma once

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
