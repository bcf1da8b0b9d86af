// The block decoder with its 64 KB window, and the stored copy.
//
// DecodeChar, DecodePosition, GetBits and FillBits work on the 16-bit view of
// the stream exactly as the bit input defines it. DecodeEntry runs the same
// decoding with the stream held in a register as wide as the machine's, fed
// straight from the read buffer. It only ever takes bytes that are already in
// the buffer; whenever a symbol comes near the end of the buffer or of the
// entry's data, or a block header is due, it hands its state back to the
// 16-bit view and lets the exact routines decode that one symbol, so every
// read request is made when, and with the size, the byte-wise input would
// make it, and a symbol that runs past the entry's data is found where the
// byte-wise input finds it.

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

// The stream in a register as wide as the machine's: bits [consumed,
// consumed + held) at the top of acc. The register always holds the 16-bit
// view whole (16 bits or more) between steps. next is the read buffer's next
// byte; the register steps run while it is at or before limit (see
// kStepMargin).
using Acc = uintptr_t;
constexpr uint32_t kAccBits = sizeof(Acc) * 8;
struct WideBits {
  Acc acc;
  uint32_t count;    // held, on wide registers
  const uint8_t* next;
  uintptr_t limit;   // an address: 0 when too few bytes are left
};

// Where registers are 32 bits wide, the register holds a code and the view
// only just, so it is topped up after every code; and there a single set bit
// just below the held bits marks their end (zeros below it), which spares a
// register for their count. On 64 bits, count says how many are held, the
// bits below them are the stream's own next ones, and the register holds a
// match's position code and extra bits together.
constexpr bool kNarrowRegisters = kAccBits == 32;

__attribute__((always_inline)) inline uint32_t HeldBits(const WideBits& b) {
  if (kNarrowRegisters) return kAccBits - 1 - static_cast<uint32_t>(__builtin_ctzl(b.acc));
  return b.count;
}

// The register steps run only while this many bytes are left before the end
// of the buffer or of the entry's data, whichever comes first: a symbol
// (three codes, at most 47 bits) and the top-ups after it never reach it, so
// they need no check of their own and take only bytes the byte-wise input
// will read too. On 32 bits a symbol takes at most three pairs of bytes; on 64
// bits a top-up reads eight bytes and may take seven, twice. The last few
// symbols before the buffer's or the entry's end go through the exact
// routines.
constexpr uint32_t kStepMargin = kNarrowRegisters ? 8 : 24;

WideBits Load(const DecodeState& c) {
  WideBits b;
  uint32_t keep = c.bitCount <= 8 ? c.bitCount : 8;
  uint32_t subMask = (0xFF00u >> keep) & 0xFFu;
  b.acc = (static_cast<Acc>(c.bitBuffer) << (kAccBits - 16)) |
          (static_cast<Acc>(c.subBitBuffer & subMask) << (kAccBits - 24));
  b.count = 16 + keep;
  if (kNarrowRegisters) b.acc |= static_cast<Acc>(1) << (kAccBits - 1 - b.count);
  // An empty buffer (its index at or past the end) leaves the register
  // nothing to take.
  uint32_t index = c.readIndex < kReadBufferSize ? c.readIndex : kReadBufferSize;
  uint32_t left = kReadBufferSize - index;
  if (c.packedLeft < left) left = c.packedLeft;
  b.next = c.readBuffer + index;
  b.limit = left >= kStepMargin ? reinterpret_cast<uintptr_t>(b.next) + (left - kStepMargin) : 0;
  return b;
}

// Gives back the whole bytes taken ahead of the 16-bit view, so that the
// fields say what the byte-wise input would hold at this point of the stream.
void Store(WideBits b, DecodeState& c) {
  uint32_t extra = HeldBits(b) - 16;
  uint32_t keep = extra & 7;
  uint32_t back = extra >> 3;
  // The fields still say where the register was loaded.
  uint32_t loaded = c.readIndex < kReadBufferSize ? c.readIndex : kReadBufferSize;
  uint32_t index = static_cast<uint32_t>(b.next - c.readBuffer);
  c.packedLeft -= index - loaded - back;
  c.readIndex = index - back;
  c.bitBuffer = static_cast<uint16_t>(b.acc >> (kAccBits - 16));
  c.subBitBuffer =
      static_cast<uint8_t>((b.acc >> (kAccBits - 24)) & ((0xFF00u >> keep) & 0xFFu));
  c.bitCount = static_cast<uint8_t>(keep);
}

// Tops the register up with whole bytes; only inside the margin. After it
// the register holds the view whole (16 bits or more), and on wide registers
// 32 bits or more.
__attribute__((always_inline)) inline void Refill(WideBits& b) {
  if (kNarrowRegisters) {
    // Two bytes when the view runs short (the marker has moved into the top
    // half): a code or a position's extra bits take at most 16, and the 386
    // has no byte swap for a wider read. They take the marker's place (its
    // lowest set bit), and the marker goes below them.
    if ((b.acc & 0xFFFFu) == 0) {
      uint32_t marker = static_cast<uint32_t>(__builtin_ctzl(b.acc));   // 16 or more
      Acc pair = (static_cast<Acc>(b.next[0]) << 8) | b.next[1];
      b.acc = (b.acc & (b.acc - 1)) | (((pair << 1) | 1) << (marker - 16));
      b.next += 2;
    }
    return;
  }
  // Eight bytes at once, once half the register is used: the bits below
  // count are already the stream's next ones, so the word laid over them
  // changes nothing there. A code and a position's extra bits still fit.
  if (b.count >= 32) return;
  const uint8_t* p = b.next;
  uint64_t word = (static_cast<uint64_t>(p[0]) << 56) | (static_cast<uint64_t>(p[1]) << 48) |
                  (static_cast<uint64_t>(p[2]) << 40) | (static_cast<uint64_t>(p[3]) << 32) |
                  (static_cast<uint64_t>(p[4]) << 24) | (static_cast<uint64_t>(p[5]) << 16) |
                  (static_cast<uint64_t>(p[6]) << 8) | static_cast<uint64_t>(p[7]);
  b.acc |= static_cast<Acc>(word >> b.count);
  b.next += (kAccBits - 1 - b.count) >> 3;
  b.count |= kAccBits - 8;
}

// Loads field by field, so that the register's own record is never handed
// to a call by its address and can stay in registers.
__attribute__((always_inline)) inline void Reload(WideBits& b, const DecodeState& c) {
  WideBits loaded = Load(c);
  b.acc = loaded.acc;
  b.count = loaded.count;
  b.next = loaded.next;
  b.limit = loaded.limit;
}

__attribute__((always_inline)) inline bool InMargin(const WideBits& b) {
  return reinterpret_cast<uintptr_t>(b.next) <= b.limit;
}

constexpr uint32_t kNoSymbol = 0xFFFF;

// The symbol at the top of the register: the direct table, then at most the
// tree levels left in the 16-bit view. kNoSymbol for a node that no complete
// code built. The step of every symbol: optimising for size, the compiler
// would otherwise call it on some targets.
__attribute__((always_inline)) inline uint32_t FastSymbol(Acc acc, const uint16_t* table,
                                                          int tableBits, uint32_t symbolCount,
                                                          const uint16_t* left,
                                                          const uint16_t* right) {
  uint32_t s = table[acc >> (kAccBits - tableBits)];
  if (s < symbolCount) return s;
  Acc mask = static_cast<Acc>(1) << (kAccBits - 1 - tableBits);
  do {
    if (mask < (static_cast<Acc>(1) << (kAccBits - 16)) || s >= kNodeCount) return kNoSymbol;
    s = (acc & mask) ? right[s] : left[s];
    mask >>= 1;
  } while (s >= symbolCount);
  return s;
}

inline void Consume(WideBits& b, uint32_t n) {
  // Codes and extra bits are at most 16 bits long (the tables refuse longer
  // ones), and the register holds them.
  b.acc <<= n;
  if (!kNarrowRegisters) b.count -= n;
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
  const OutputSink sink = c.sink;
  // The window's fill is the count's low 16 bits: both start at 0, and the
  // window is handed over and refilled from 0 at every 64 KB of output.
  uint32_t done = 0;
  uint16_t codesLeft = c.blockCodesLeft;
  uint8_t posEmpty = c.posTableEmpty;
  WideBits b;
  Reload(b, c);

  while (done < total) {
    // What the register cannot decode (a block header, bits it lacks, a code
    // no complete code built) the exact routines decode, or refuse.
    uint32_t s = kNoSymbol;
    if (codesLeft != 0 && InMargin(b)) {
      s = FastSymbol(b.acc, c.charTable, kCharTableBits, kCharCodeCount, c.leftNode, c.rightNode);
    }
    if (s == kNoSymbol) {
      Store(b, c);
      c.blockCodesLeft = codesLeft;
      s = DecodeChar(state);
      if (c.decodeResult != kDecodeDone) break;
      codesLeft = c.blockCodesLeft;
      posEmpty = c.posTableEmpty;
      Reload(b, c);
    } else {
      codesLeft--;
      Consume(b, c.charLen[s]);
      Refill(b);
    }

    if (s < 256) {
      c.window[static_cast<uint16_t>(done)] = static_cast<uint8_t>(s);
      done++;
      if (static_cast<uint16_t>(done) == 0) {   // the window is full
        c.decodedCount = done - 1;
        if (!sink(state, c.window, kWindowSize, done)) {
          c.decodeResult = kDecodeStopped;
          done--;
          break;
        }
      }
      continue;
    }

    const uint32_t len = s - kMatchSymbolBase;
    uint32_t d;
    uint32_t j = kNoSymbol;
    if (!posEmpty && InMargin(b)) {
      j = FastSymbol(b.acc, c.posTable, kPosTableBits, posCount, c.leftNode, c.rightNode);
    }
    if (j == kNoSymbol) {
      Store(b, c);
      d = DecodePosition(state);
      if (c.decodeResult != kDecodeDone) break;
      Reload(b, c);
    } else {
      Consume(b, c.posLen[j]);
      Refill(b);   // after an exact step the register may hold the view alone
      d = j;
      if (j >= 2) {
        uint32_t extra = j - 1;
        d = (1u << extra) + static_cast<uint32_t>(b.acc >> (kAccBits - extra));
        Consume(b, extra);
        if (kNarrowRegisters) Refill(b);
      }
    }
    uint32_t fill = static_cast<uint16_t>(done);
    done += len;

    const uint32_t distance = d + 1;
    if (distance >= 8 && distance <= fill && fill + len + 8 < kWindowSize) {
      // Whole chunks, the last one running up to 7 bytes past the match; those
      // bytes are put back afterwards, as a match 64 KB long may still read
      // them. The chunks never read them: the source lies 8 or more back.
      uint8_t* dst = c.window + fill;
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
      continue;
    }
    if (fill + len < kWindowSize) {
      CopyMatch(c.window, fill, distance, len);
      continue;
    }
    // The window fills during this match: byte by byte, handing over at 64 KB.
    uint32_t src = (fill - distance) & (kWindowSize - 1);
    for (uint32_t k = 0; k < len; k++) {
      c.window[fill++] = c.window[(src + k) & (kWindowSize - 1)];
      if (fill == kWindowSize) {
        c.decodedCount = done;
        if (!sink(state, c.window, kWindowSize, done)) {
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
  const uint32_t fill = static_cast<uint16_t>(done);
  if (fill > 0 && c.decodeResult <= kDecodeOverrun && !sink(state, c.window, fill, total)) {
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
