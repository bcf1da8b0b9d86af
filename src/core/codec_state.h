// The codec's record: everything the CRC, the bit input, the tables and the
// block decoder keep. Its caller owns it (the run keeps one in its context,
// the builder and the tests one of their own) and passes it to every call;
// the codec touches nothing else. Its input comes through a ByteSource, its
// output goes to an OutputSink. The functions are in decode/decode.h.
#pragma once

#include <stdint.h>

#include "core/lzh_format.h"

enum : uint32_t {
  kReadBufferSize = 16384,
  kWindowSize = 65536,
  kPosLenCap = 128,
  kNodeCount = 2 * kCharCodeCount - 1,
  kCharTableBits = 12,
  kPosTableBits = 8,
};

// How an entry's data came out of the codec (the first reason stands).
enum DecodeResult : uint8_t {
  kDecodeDone = 0,      // the original size was produced
  kDecodeOverrun = 1,   // a symbol took the zero bits after the entry's data
  kDecodeBadTable = 2,  // a block's code lengths form no valid code
  kDecodeReadError = 3, // the input could not be read
  kDecodeStopped = 4,   // the sink asked to stop (a write error, Cancel)
};

// Where the codec's bytes come from: read asks for count bytes into buffer
// and says how many came; 0, or fewer than asked, is a read error. The
// platform's ReadFromFile with a file handle is one; ReadFromMemory with a
// MemoryInput (decode/decode.h) another.
using ByteReader = int (*)(uintptr_t from, void* buffer, uint32_t count, uint32_t* got);
struct ByteSource {
  ByteReader read;
  uintptr_t from;
};

struct DecodeState;
// Where the codec hands its output: count bytes (at most 64 KB), with the
// progress count that goes with them. Returns 0 to stop the entry.
using OutputSink = int (*)(DecodeState* state, const uint8_t* data, uint32_t count,
                           uint32_t done);

// The tables of the format's CRC: one byte, and slices[k] a byte followed by
// k + 1 zero bytes, so that eight bytes are folded per step.
struct CrcTables {
  uint16_t table[256];
  uint16_t slices[7][256];
};

// The fields of every symbol come first, the buffers after them, so that the
// hot ones are reached with short displacements from the record's start.
struct DecodeState {
  // --- bit input ---
  uint16_t bitBuffer;                // the next 16 bits; its top bit is the next
  uint8_t subBitBuffer;              // bits of the last byte not yet in bitBuffer
  uint8_t bitCount;                  // how many bits subBitBuffer holds
  uint32_t packedLeft;               // the entry's bytes not yet fetched
  uint32_t readIndex;                // next byte of readBuffer; >= its size: empty
  // Zero bits fed after the entry's data; a symbol that takes one of them
  // ends the entry as an overrun.
  uint32_t tailBits;

  // --- block decoder ---
  uint16_t blockCodesLeft;           // 0: a block header comes next
  DecodeResult decodeResult;
  // Set when the block's lengths for that table were all zero: the table was
  // left as it was, so a lookup in it would meet another block's entries.
  uint8_t charTableEmpty;
  uint8_t posTableEmpty;
  uint16_t posCodeCount;
  uint16_t posCountBits;
  uint32_t originalSize;
  uint32_t decodedCount;

  // --- the two ends ---
  ByteSource input;
  OutputSink sink;
  void* sinkData;                    // the sink's own, untouched by the codec

  // --- buffers ---
  uint8_t readBuffer[kReadBufferSize];
  uint8_t charLen[kCharCodeCount];
  uint8_t posLen[kPosLenCap];
  uint16_t charTable[1u << kCharTableBits];
  uint16_t posTable[1u << kPosTableBits];
  uint16_t leftNode[kNodeCount];
  uint16_t rightNode[kNodeCount];
  uint8_t window[kWindowSize];
};

// The read-buffer marker: the next byte comes from a fresh read. Set before
// every entry, since a refill for the tail of an entry leaves the index short
// of the buffer's end.
constexpr uint32_t kReadBufferEmpty = 0xFFFFFFFFu;
