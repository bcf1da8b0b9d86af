// The codec: the format's CRC, and the stored copy and the block decoder of
// one entry. Every call works on the DecodeState its caller owns and passes
// (core/codec_state.h); the input comes through the state's ByteSource and
// the output leaves through its sink. It makes no OS call of its own, shows
// nothing and ends nothing: every failure comes back as a DecodeResult.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/codec_state.h"

constexpr uint16_t kCrcPolynomial = 0xA001;
void FillCrcTables(CrcTables* tables, uint16_t polynomial);
// The CRC of n more bytes after crc.
uint16_t FoldCrc(const CrcTables* tables, uint16_t crc, const uint8_t* data, size_t n);

// Before either call per entry: input and sink set, readIndex at
// kReadBufferEmpty (and the input at the entry's data).
// Expands one entry's compressed data into the sink. Reads never go past
// packedSize bytes.
DecodeResult DecodeEntry(DecodeState* state, char methodDigit, uint32_t packedSize,
                         uint32_t originalSize);
// Copies size stored bytes into the sink, through the window.
DecodeResult CopyStored(DecodeState* state, int32_t size);

// A buffer in memory as a ByteSource: {ReadFromMemory, address of a
// MemoryInput}. A read past its end is short, as a file's would be.
struct MemoryInput {
  const uint8_t* data;
  uint32_t size;
  uint32_t position;
};
int ReadFromMemory(uintptr_t from, void* buffer, uint32_t count, uint32_t* got);
inline ByteSource MemorySource(MemoryInput* input) {
  return ByteSource{ReadFromMemory, reinterpret_cast<uintptr_t>(input)};
}
