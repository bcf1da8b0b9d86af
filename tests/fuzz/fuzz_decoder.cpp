// The decoder on arbitrary streams. Input layout:
//   byte 0      method digit: '0', '4' to '7', or (above 5) the byte itself
//   bytes 1-3   original size, little-endian, of which the low 18 bits count
//               (up to 256 KB: several windows, and fast runs)
//   byte 4      bit 0: claim more compressed bytes than there are (short read)
//               bit 1: the file sink (its CRC, with no file) instead of memory
//               bits 2-3: memory target
//   the rest    the entry's compressed data
// Every way out (a complete entry, a stream that runs out of data, a bad
// table, a read error) must stay inside the record's arrays and come back.
// The data is read from memory, into a record of the target's own: no file,
// no global.
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "core/context.h"
#include "decode/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static ExtractContext* record = [] {
    ExtractContext* r = static_cast<ExtractContext*>(malloc(sizeof(ExtractContext)));
    if (r == nullptr) abort();
    return r;
  }();
  static const char kDigits[] = "04567";
  char digit = data[0] < 5 ? kDigits[data[0]] : static_cast<char>(data[0]);
  uint32_t original =
      (data[1] | (data[2] << 8) | (static_cast<uint32_t>(data[3]) << 16)) & 0x3FFFFu;
  uint8_t flags = data[4];
  uint32_t packed = static_cast<uint32_t>(size - 5);
  if (flags & 1) packed += 1 + (flags >> 4);

  memset(record, 0, sizeof(ExtractContext));
  FillCrcTables(&record->crc, kCrcPolynomial);
  if (flags & 2) {
    record->outputHandle = 0;   // no file: the CRC alone
  } else {
    record->outputHandle = kMemoryMarker;
    record->memoryTarget = static_cast<MemoryTarget>((flags >> 2) & 3);
  }
  MemoryInput input = {data + 5, static_cast<uint32_t>(size - 5), 0};
  DecodeState* codec = &record->codec;
  codec->input = MemorySource(&input);
  codec->readIndex = kReadBufferEmpty;
  codec->sink = StoreToRecord;
  codec->sinkData = record;
  if (digit == '0') {
    DecodeResult r = CopyStored(codec, static_cast<int32_t>(original));
    if (r != kDecodeDone && r != kDecodeReadError) __builtin_trap();
  } else if (digit != 'd') {
    DecodeResult r = DecodeEntry(codec, digit, packed, original);
    // Only an entry that failed stops short of the original size.
    if (r == kDecodeDone && codec->decodedCount < original) __builtin_trap();
    if (r != codec->decodeResult) __builtin_trap();
    // Never more read than the entry has, nor more than there is.
    if (input.position > input.size) __builtin_trap();
  }
  if (memchr(record->messageText, 0, kMessageCap) == nullptr) __builtin_trap();
  if (memchr(record->scriptBuffer, 0, kScriptCap) == nullptr) __builtin_trap();
  return 0;
}
