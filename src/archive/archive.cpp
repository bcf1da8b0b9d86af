// The own file as an archive: opening it, moving in it, the stored checksum,
// an entry's data run through the codec by its method, and where the codec's
// output goes for the record (file with CRC, or text buffer).
#include <string.h>

#include "archive/archive.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "decode/decode.h"
#include "platform/platform.h"

SeekResult SeekArchive(const ExtractContext* c, uint64_t target) {
  if (target > c->archiveSize) return kSeekPastEnd;
  uint32_t reached = 0;
  if (!SeekFile(c->archiveHandle, static_cast<uint32_t>(target), &reached) ||
      reached != target) {
    return kSeekFailed;
  }
  return kSeekDone;
}

OpenResult OpenOwnArchive(ExtractContext* c) {
  c->archiveHandle = OpenExistingForRead(c->ownPath);
  if (c->archiveHandle == 0) return kOpenFailed;
  uint32_t size = GetFileSizeOf(c->archiveHandle);
  if (size == 0xFFFFFFFFu) return kSizeUnknown;
  c->archiveSize = size;
  return kOpened;
}

void ReadStoredChecksum(ExtractContext* c) {
  uint8_t bytes[2] = {0, 0};
  uint32_t got = 0;
  ReadFromFile(c->archiveHandle, bytes, 2, &got);
  c->storedChecksum = ReadLE16(bytes);
}

DecodeResult RunEntryData(ExtractContext* c) {
  c->runningCrc = 0;
  DecodeState* codec = &c->codec;
  codec->readIndex = kReadBufferEmpty;
  codec->input.read = ReadFromFile;
  codec->input.from = c->archiveHandle;
  // An empty or directory-typed special entry leaves an empty text, never the
  // text an earlier writer left in the buffer.
  if (c->memoryTarget == kMemoryNotice) c->messageText[0] = '\0';
  if (c->memoryTarget == kMemoryScript) c->scriptBuffer[0] = '\0';

  const uint8_t* h = c->headerBuffer;
  char digit = static_cast<char>(h[kHeaderMethod + 3]);
  uint32_t original = ReadLE32(h + kHeaderOriginalSize);
  if (digit == '0') return CopyStored(codec, static_cast<int32_t>(original));
  if (digit >= '4' && digit <= '7') {
    return DecodeEntry(codec, digit, ReadLE32(h + kHeaderPackedSize), original);
  }
  return kDecodeDone;
}

void MakeCrcTable(ExtractContext* c, uint16_t polynomial) {
  FillCrcTables(&c->crc, polynomial);
}

uint16_t UpdateCrc(ExtractContext* c, const void* data, int32_t length) {
  if (length <= 0) return c->runningCrc;
  c->runningCrc = FoldCrc(&c->crc, c->runningCrc, static_cast<const uint8_t*>(data),
                          static_cast<uint32_t>(length));
  return c->runningCrc;
}

namespace {

// Replaces the buffer's text by the bytes up to the first NUL, at most count
// bytes and capacity - 1 of them; always terminated.
void CopyToText(char* target, uint32_t capacity, const uint8_t* buffer, uint32_t count) {
  uint32_t n = 0;
  while (n < count && n + 1 < capacity && buffer[n] != 0) ++n;
  memcpy(target, buffer, n);
  target[n] = '\0';
}

}  // namespace

int StoreOutput(ExtractContext* c, const uint8_t* data, uint32_t count) {
  FileHandle out = c->outputHandle;
  if (out != kMemoryMarker) {
    uint32_t written = 0;
    if (out != 0 && (!WriteToFile(out, data, count, &written) || written != count)) return 0;
    c->runningCrc = FoldCrc(&c->crc, c->runningCrc, data, count);
    return 1;
  }
  switch (c->memoryTarget) {
    case kMemoryNotice:
      CopyToText(c->messageText, kMessageCap, data, count);
      break;
    case kMemoryScript:
      CopyToText(c->scriptBuffer, kScriptCap, data, count);
      break;
    case kMemoryNone:
    default:
      break;
  }
  return 1;
}

int StoreToRecord(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t) {
  return StoreOutput(static_cast<ExtractContext*>(state->sinkData), data, count);
}
