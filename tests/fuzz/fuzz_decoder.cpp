// The decoder on arbitrary streams. Input layout:
//   byte 0      method digit: '0', '4' to '7', or (above 5) the byte itself
//   bytes 1-3   original size, little-endian, of which the low 18 bits count
//               (up to 256 KB: several windows, and fast runs)
//   byte 4      bit 0: claim more compressed bytes than there are (short read)
//               bit 1: write to a file (progress, CRC) instead of memory
//               bits 2-3: memory target
//   the rest    the entry's compressed data
// Every way out (a complete entry, a stream that runs out of data, a bad
// table, a read error) must stay inside the context's arrays and come back.
#include <string.h>

#include "core/context.h"
#include "decode/decode.h"
#include "fuzz_support.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static const char kDigits[] = "04567";
  char digit = data[0] < 5 ? kDigits[data[0]] : static_cast<char>(data[0]);
  uint32_t original =
      (data[1] | (data[2] << 8) | (static_cast<uint32_t>(data[3]) << 16)) & 0x3FFFFu;
  uint8_t flags = data[4];
  uint32_t packed = static_cast<uint32_t>(size - 5);
  if (flags & 1) packed += 1 + (flags >> 4);

  fuzz::BeginInput(data + 5, size - 5);
  if (flags & 2) {
    context->outputHandle = CreateForWrite(fuzz::OutputPath().c_str());
  } else {
    context->outputHandle = kMemoryMarker;
    context->memoryTarget = static_cast<MemoryTarget>((flags >> 2) & 3);
  }
  context->sink = StoreOutput;
  context->runningCrc = 0;
  context->readIndex = 0xFFFFFFFFu;
  if (digit == '0') {
    DecodeResult r = CopyStored(static_cast<int32_t>(original));
    if (r != kDecodeDone && r != kDecodeReadError) __builtin_trap();
  } else if (digit != 'd') {
    DecodeResult r = DecodeEntry(digit, packed, original);
    // Only an entry that failed stops short of the original size.
    if (r == kDecodeDone && context->decodedCount < original) __builtin_trap();
    if (r != context->decodeResult) __builtin_trap();
  }
  if (memchr(context->messageText, 0, kMessageCap) == nullptr) __builtin_trap();
  if (memchr(context->scriptBuffer, 0, kScriptCap) == nullptr) __builtin_trap();
  fuzz::EndInput();
  return 0;
}
