// The own file as an archive: opening it, moving in it, the stored checksum,
// and an entry's data run through the codec by its method.
#include "archive/archive.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "decode/decode.h"
#include "platform/platform.h"

SeekResult SeekArchive(uint64_t target) {
  if (target > context->archiveSize) return kSeekPastEnd;
  uint32_t reached = 0;
  if (!SeekFile(context->archiveHandle, static_cast<uint32_t>(target), &reached) ||
      reached != target) {
    return kSeekFailed;
  }
  return kSeekDone;
}

OpenResult OpenOwnArchive() {
  context->archiveHandle = OpenExistingForRead(context->ownPath);
  if (context->archiveHandle == 0) return kOpenFailed;
  uint32_t size = GetFileSizeOf(context->archiveHandle);
  if (size == 0xFFFFFFFFu) return kSizeUnknown;
  context->archiveSize = size;
  return kOpened;
}

void ReadStoredChecksum() {
  uint8_t bytes[2] = {0, 0};
  uint32_t got = 0;
  ReadFromFile(context->archiveHandle, bytes, 2, &got);
  context->storedChecksum = ReadLE16(bytes);
}

DecodeResult RunEntryData() {
  context->runningCrc = 0;
  context->readIndex = 0xFFFFFFFFu;
  // An empty or directory-typed special entry leaves an empty text, never the
  // text an earlier writer left in the buffer.
  if (context->memoryTarget == kMemoryNotice) context->messageText[0] = '\0';
  if (context->memoryTarget == kMemoryScript) context->scriptBuffer[0] = '\0';

  char digit = EntryMethodDigit();
  if (digit == '0') return CopyStored(static_cast<int32_t>(EntryOriginalSize()));
  if (digit >= '4' && digit <= '7') {
    return DecodeEntry(digit, EntryPackedSize(), EntryOriginalSize());
  }
  return kDecodeDone;
}
