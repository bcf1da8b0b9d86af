// The block decoder with its 64 KB window, and the stored copy.
//
// DecodeChar, DecodePosition, GetBits and FillBits work on the 16-bit view of
// the stream exactly as the bit input defines it. DecodeEntry runs the same
// decoding with the stream held in a 64-bit register fed straight from the
// read buffer. It only ever takes bytes that are already in the buffer;
// whenever a symbol would need a refill, the zeros after the entry's end, or
// a block header, it hands its state back to the 16-bit view and lets the
// exact routines decode that one symbol, so every read request is made when,
// and with the size, the byte-wise input would make it, and a symbol that
// runs past the entry's data is found where the byte-wise input finds it.

#include <string.h>

#include "decode/decode.h"
#include "decode/decode_internal.h"

uint16_t DecodeChar(DecodeState* state) {
  DecodeState& c = *state;
  if (c.blockCodesLeft == 0) {
    c.blockCodesLeft = GetBits(state, kBlockCountBits);
    ReadPosLengths(state, kLengthCodeCount, kLengthCountBits, kLengthCodeSpecial);
    ReadCharLengths(state);
    ReadPosLengths(state, static_cast<int16_t>(c.posCodeCount),
                   static_cast<int16_t>(c.posCountBits), -1);
    // A refused or cut block header leaves its tables unfinished.
    if (c.decodeResult != kDecodeDone) return 0;
  }
  c.blockCodesLeft--;
  if (c.charTableEmpty) {
    Refuse(state, kDecodeBadTable);
    return 0;
  }
  uint16_t s = LookUpSymbol(state, c.bitBuffer, c.charTable, kCharTableBits, kCharCodeCount);
  FillBits(state, c.charLen[s]);
  return s;
}

uint16_t DecodePosition(DecodeState* state) {
  DecodeState& c = *state;
  if (c.posTableEmpty) {
    Refuse(state, kDecodeBadTable);
    return 0;
  }
  uint16_t j = LookUpSymbol(state, c.bitBuffer, c.posTable, kPosTableBits, c.posCodeCount);
  FillBits(state, c.posLen[j]);
  if (j < 2) return j;
  return static_cast<uint16_t>((1u << (j - 1)) + GetBits(state, static_cast<uint8_t>(j - 1)));
}

namespace {

// The stream in a register: bits [consumed, consumed + count) at the top of
// acc, zeros below them. The read-buffer position and the entry's bytes not
// yet taken are kept here too while the fast loop runs.
struct WideBits {
  uint64_t acc;
  uint32_t count;
  uint32_t readIndex;
  uint32_t packedLeft;
};

// Where registers are 32 bits wide, a 64-bit shift by a variable count costs
// several instructions, so the register is topped up by whole 32-bit words
// (one such shift per word), and a position's extra bits are checked for after
// its code rather than taken up front with it, since a word added after a
// 16-bit code does not always make room for them.
constexpr bool kNarrowRegisters = sizeof(void*) == 4;

// Bits needed before a step so that, after it, the 16-bit view is still whole:
// a code (16), and on wide registers a position code with its extra bits
// (16 + 15).
constexpr uint32_t kCodeStepBits = 16 + 16;
constexpr uint32_t kPositionStepBits = kNarrowRegisters ? kCodeStepBits : 16 + 15 + 16;

void Load(WideBits& b, const DecodeState& c) {
  uint32_t keep = c.bitCount <= 8 ? c.bitCount : 8;
  uint32_t subMask = (0xFF00u >> keep) & 0xFFu;
  b.acc = (static_cast<uint64_t>(c.bitBuffer) << 48) |
          (static_cast<uint64_t>(c.subBitBuffer & subMask) << 40);
  b.count = 16 + keep;
  b.readIndex = c.readIndex;
  b.packedLeft = c.packedLeft;
}

// Gives back the whole bytes taken ahead of the 16-bit view, so that the
// fields say what the byte-wise input would hold at this point of the stream.
void Store(const WideBits& b, DecodeState& c) {
  uint32_t extra = b.count - 16;
  uint32_t keep = extra & 7;
  uint32_t back = extra >> 3;
  c.readIndex = b.readIndex - back;
  c.packedLeft = b.packedLeft + back;
  c.bitBuffer = static_cast<uint16_t>(b.acc >> 48);
  c.subBitBuffer = static_cast<uint8_t>((b.acc >> 40) & ((0xFF00u >> keep) & 0xFFu));
  c.bitCount = static_cast<uint8_t>(keep);
}

// Takes whole bytes of the read buffer into the register while it has room.
// Never reads the file, and never takes the zeros after the entry's end: the
// exact routines decode the last symbols.
inline void TopUp(WideBits& b, const uint8_t* readBuffer) {
  const uint32_t chunk = kNarrowRegisters ? 4 : 8;
  const uint32_t most = kNarrowRegisters ? 32 : 56;   // bits held for a chunk to fit
  if (b.count <= most && b.packedLeft >= chunk &&
      b.readIndex <= kReadBufferSize - chunk) {
    const uint8_t* p = readBuffer + b.readIndex;
    if (kNarrowRegisters) {   // a whole word: 32 bits or fewer are held
      uint32_t word = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                      (static_cast<uint32_t>(p[2]) << 8) | p[3];
      b.acc |= static_cast<uint64_t>(word) << (32 - b.count);
      b.count += 32;
      b.readIndex += 4;
      b.packedLeft -= 4;
      return;
    }
    // As many whole bytes of the next eight as there is room for.
    uint32_t room = (64 - b.count) >> 3;
    uint64_t word = (static_cast<uint64_t>(p[0]) << 56) | (static_cast<uint64_t>(p[1]) << 48) |
                    (static_cast<uint64_t>(p[2]) << 40) | (static_cast<uint64_t>(p[3]) << 32) |
                    (static_cast<uint64_t>(p[4]) << 24) | (static_cast<uint64_t>(p[5]) << 16) |
                    (static_cast<uint64_t>(p[6]) << 8) | static_cast<uint64_t>(p[7]);
    b.acc |= (word >> (8 * (8 - room))) << (64 - b.count - 8 * room);
    b.count += 8 * room;
    b.readIndex += room;
    b.packedLeft -= room;
    return;
  }
  // Near the end of the buffer or of the entry: byte by byte.
  while (b.count <= 56 && b.packedLeft != 0 && b.readIndex < kReadBufferSize) {
    b.acc |= static_cast<uint64_t>(readBuffer[b.readIndex]) << (56 - b.count);
    b.count += 8;
    b.readIndex++;
    b.packedLeft--;
  }
}

constexpr uint32_t kNoSymbol = 0xFFFF;

// The symbol at the top of the register: the direct table, then at most the
// tree levels left in the 16-bit view. kNoSymbol for a node that no complete
// code built. The step of every symbol: optimising for size, the compiler
// would otherwise call it on some targets.
__attribute__((always_inline)) inline uint32_t FastSymbol(uint64_t acc, const uint16_t* table,
                                                          int tableBits, uint32_t symbolCount,
                                                          const uint16_t* left,
                                                          const uint16_t* right) {
  uint32_t s = table[acc >> (64 - tableBits)];
  if (s < symbolCount) return s;
  uint64_t mask = 1ull << (63 - tableBits);
  do {
    if (mask < (1ull << 48) || s >= kNodeCount) return kNoSymbol;
    s = (acc & mask) ? right[s] : left[s];
    mask >>= 1;
  } while (s >= symbolCount);
  return s;
}

inline void Consume(WideBits& b, uint32_t n) {
  // Codes and extra bits are at most 16 bits long (the tables refuse longer
  // ones): on narrow registers, the shift never crosses a half of the register.
  b.acc <<= n & (kNarrowRegisters ? 31 : 63);
  b.count -= n;
}

// Forward copy with the source ahead of the target: every chunk is read
// before anything it covers is written, so overlap is harmless.
inline void CopyFromAhead(uint8_t* dst, const uint8_t* src, uint32_t len) {
  while (len >= 8) {
    uint64_t chunk;
    memcpy(&chunk, src, 8);
    memcpy(dst, &chunk, 8);
    dst += 8;
    src += 8;
    len -= 8;
  }
  while (len-- > 0) *dst++ = *src++;
}

// Forward copy from distance bytes back; with a distance below the length
// the copy repeats the bytes it has just produced, as a byte-wise copy does.
inline void CopyFromBehind(uint8_t* dst, uint32_t distance, uint32_t len) {
  const uint8_t* src = dst - distance;
  if (distance >= 8) {
    CopyFromAhead(dst, src, len);   // chunks never reach bytes not yet written
  } else if (distance == 1) {
    memset(dst, *src, len);
  } else {
    while (len-- > 0) *dst++ = *src++;
  }
}

// A match that ends inside the window (fill + len <= 65536); its source may
// wrap round the window's end.
inline void CopyMatch(uint8_t* window, uint32_t fill, uint32_t distance, uint32_t len) {
  uint8_t* dst = window + fill;
  if (distance <= fill) {
    CopyFromBehind(dst, distance, len);
    return;
  }
  uint32_t src = fill + kWindowSize - distance;   // at or after fill
  uint32_t first = kWindowSize - src;
  if (first >= len) {
    CopyFromAhead(dst, window + src, len);
    return;
  }
  CopyFromAhead(dst, window + src, first);
  CopyFromBehind(dst + first, distance, len - first);
}

}  // namespace

// Kept out of its caller, so that the state's fields are reached from the
// state pointer with short displacements rather than from the caller's record.
__attribute__((noinline)) DecodeResult DecodeEntry(DecodeState* state, char methodDigit,
                                                   uint32_t packedSize, uint32_t originalSize) {
  DecodeState& c = *state;
  c.originalSize = originalSize;
  c.packedLeft = packedSize;
  memset(c.window, ' ', kWindowSize);
  StartBitInput(state, methodDigit);
  c.decodedCount = 0;

  const uint32_t total = originalSize;
  const uint16_t posCount = c.posCodeCount;
  uint8_t* const window = c.window;
  const OutputSink sink = c.sink;
  uint32_t fill = 0;
  uint32_t done = 0;
  const uint8_t* const readBuffer = c.readBuffer;
  const uint16_t* const charTable = c.charTable;
  const uint16_t* const posTable = c.posTable;
  const uint8_t* const charLen = c.charLen;
  const uint8_t* const posLen = c.posLen;
  const uint16_t* const leftNode = c.leftNode;
  const uint16_t* const rightNode = c.rightNode;
  uint16_t codesLeft = c.blockCodesLeft;
  uint8_t posEmpty = c.posTableEmpty;
  WideBits b;
  Load(b, c);

  while (done < total) {
    // What the register cannot decode (a block header, bits it lacks, a code
    // no complete code built) the exact routines decode, or refuse.
    uint32_t s = kNoSymbol;
    if (b.count < kCodeStepBits) TopUp(b, readBuffer);
    if (codesLeft != 0 && b.count >= kCodeStepBits) {
      s = FastSymbol(b.acc, charTable, kCharTableBits, kCharCodeCount, leftNode, rightNode);
    }
    if (s == kNoSymbol) {
      Store(b, c);
      c.blockCodesLeft = codesLeft;
      s = DecodeChar(state);
      if (c.decodeResult != kDecodeDone) break;
      codesLeft = c.blockCodesLeft;
      posEmpty = c.posTableEmpty;
      Load(b, c);
    } else {
      codesLeft--;
      Consume(b, charLen[s]);
    }

    if (s < 256) {
      window[fill++] = static_cast<uint8_t>(s);
      if (fill == kWindowSize) {
        c.decodedCount = done;
        if (!sink(state, window, kWindowSize, done + 1)) {
          c.decodeResult = kDecodeStopped;
          break;
        }
        fill = 0;
      }
      done++;
      continue;
    }

    const uint32_t len = s - kMatchSymbolBase;
    uint32_t d;
    uint32_t j = kNoSymbol;
    if (b.count < kPositionStepBits) TopUp(b, readBuffer);
    if (b.count >= kPositionStepBits && !posEmpty) {
      j = FastSymbol(b.acc, posTable, kPosTableBits, posCount, leftNode, rightNode);
    }
    if (j == kNoSymbol) {
      Store(b, c);
      d = DecodePosition(state);
      if (c.decodeResult != kDecodeDone) break;
      Load(b, c);
    } else {
      Consume(b, posLen[j]);
      if (j < 2) {
        d = j;
      } else {
        uint32_t extra = j - 1;
        // Wide registers took the extra bits with the code (kPositionStepBits).
        if (kNarrowRegisters && b.count < 16 + extra) TopUp(b, readBuffer);
        if (!kNarrowRegisters || b.count >= 16 + extra) {
          d = (1u << extra) + (static_cast<uint32_t>(b.acc >> 32) >> (32 - extra));
          Consume(b, extra);
        } else {
          // The extra bits run past what the register may take: the exact
          // input reads them, as it would have after the code.
          Store(b, c);
          d = (1u << extra) + GetBits(state, static_cast<uint8_t>(extra));
          if (c.decodeResult != kDecodeDone) break;
          Load(b, c);
        }
      }
    }
    done += len;

    const uint32_t distance = d + 1;
    if (distance >= 8 && distance <= fill && fill + len + 8 < kWindowSize) {
      // Whole chunks, the last one running up to 7 bytes past the match; those
      // bytes are put back afterwards, as a match 64 KB long may still read
      // them. The chunks never read them: the source lies 8 or more back.
      uint8_t* dst = window + fill;
      const uint8_t* src = dst - distance;
      uint8_t* end = dst + len;
      uint64_t after;
      memcpy(&after, end, 8);
      do {
        uint64_t chunk;
        memcpy(&chunk, src, 8);
        memcpy(dst, &chunk, 8);
        dst += 8;
        src += 8;
      } while (dst < end);
      memcpy(end, &after, 8);
      fill += len;
      continue;
    }
    if (fill + len < kWindowSize) {
      CopyMatch(window, fill, distance, len);
      fill += len;
      continue;
    }
    // The window fills during this match: byte by byte, handing over at 64 KB.
    uint32_t src = (fill - distance) & (kWindowSize - 1);
    for (uint32_t k = 0; k < len; k++) {
      window[fill++] = window[(src + k) & (kWindowSize - 1)];
      if (fill == kWindowSize) {
        c.decodedCount = done;
        if (!sink(state, window, kWindowSize, done)) {
          c.decodeResult = kDecodeStopped;
          break;
        }
        fill = 0;
      }
    }
    if (c.decodeResult != kDecodeDone) break;
  }

  // After the exact routines stopped the entry, they hold the state already.
  if (c.decodeResult == kDecodeDone) {
    Store(b, c);
    c.blockCodesLeft = codesLeft;
  }
  c.decodedCount = done;
  if (fill > 0 && c.decodeResult <= kDecodeOverrun && !sink(state, window, fill, total)) {
    c.decodeResult = kDecodeStopped;
  }
  return c.decodeResult;
}

DecodeResult CopyStored(DecodeState* state, int32_t size) {
  DecodeState& c = *state;
  c.originalSize = static_cast<uint32_t>(size);
  int32_t remaining = size;
  uint32_t copied = 0;
  while (remaining > 0) {
    uint32_t chunk = remaining < static_cast<int32_t>(kWindowSize) ? static_cast<uint32_t>(remaining)
                                                                   : kWindowSize;
    uint32_t got = 0;
    if (!c.input.read(c.input.from, c.window, chunk, &got) || got < chunk) {
      return kDecodeReadError;
    }
    copied += chunk;
    if (!c.sink(state, c.window, chunk, copied)) return kDecodeStopped;
    remaining -= static_cast<int32_t>(chunk);
  }
  return kDecodeDone;
}
