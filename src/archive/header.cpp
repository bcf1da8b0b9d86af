// Reading and validating one level-2 entry header, and the full entry name.
// Every offset is checked against the header's own size before it is used, so
// a damaged archive can never make a read or a write leave headerBuffer.
#include "archive/archive.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"

namespace {

// Sizes from 32768 up are negative as the signed 16-bit field they are taken as.
constexpr uint32_t kLargestHeader = 0x7FFF;

bool MethodIsAccepted(const uint8_t* h) {
  if (h[2] != '-' || h[3] != 'l' || h[4] != 'h' || h[6] != '-') return false;
  switch (h[5]) {
    case '0': case '4': case '5': case '6': case '7': case 'd':
      return true;
    default:
      return false;
  }
}

bool OsKeepsDosAttributes(uint8_t osId) { return osId == 'M' || osId == 'W' || osId == 'w'; }

void ClearEntryFields() {
  context->headerCrcField = nullptr;
  context->headerCrc = 0;
  context->directoryName = nullptr;
  context->directoryNameLength = 0;
  context->fileName = nullptr;
  context->fileNameLength = 0;
}

// Takes the values of one extended header into the entry's fields.
void ParseExtendedHeader(uint8_t type, const uint8_t* data, uint32_t length) {
  switch (type) {
    case kExtHeaderCrc:
      // Two data bytes are needed; a shorter one carries no CRC.
      if (length >= 2) {
        context->headerCrcField = const_cast<uint8_t*>(data);
        context->headerCrc = ReadLE16(data);
      }
      break;
    case kExtFileName:
      context->fileName = data;
      context->fileNameLength = static_cast<uint16_t>(length);
      break;
    case kExtDirectory:
      context->directoryName = data;
      context->directoryNameLength = static_cast<uint16_t>(length);
      break;
    case kExtAttribute:
      if (length >= 2 && OsKeepsDosAttributes(context->headerBuffer[kHeaderOsId])) {
        context->attribute = ReadLE16(data);
      }
      break;
    default:
      break;
  }
}

// Copies at most length bytes of a name part, up to a NUL among them, and
// returns how many it copied.
uint32_t CopyNamePart(char* out, const uint8_t* part, uint32_t length) {
  uint32_t n = 0;
  if (part != nullptr) {
    while (n < length && part[n] != 0) {
      out[n] = static_cast<char>(part[n]);
      ++n;
    }
  }
  return n;
}

}  // namespace

HeaderResult ReadEntryHeader() {
  ReleaseEntryHeader();

  uint8_t sizeBytes[2];
  uint32_t got = 0;
  // Fewer than two bytes left is the end of the archive; a read that fails
  // is not, or a broken medium would pass for a complete extraction.
  if (!ReadFromFile(context->archiveHandle, sizeBytes, 2, &got)) return kHeaderReadError;
  if (got < 2) return kHeaderEnd;
  uint32_t total = ReadLE16(sizeBytes);
  if (total == 0) return kHeaderEnd;

  uint8_t* h = total <= kLargestHeader ? static_cast<uint8_t*>(AllocZeroed(total)) : nullptr;
  if (h == nullptr) return kHeaderNoMemory;
  context->headerBuffer = h;
  context->headerSize = static_cast<uint16_t>(total);

  // Too short for the fixed fields and the first size: nothing in it can be read.
  if (total < kHeaderFixedSize) return kHeaderInvalid;

  h[0] = sizeBytes[0];
  h[1] = sizeBytes[1];
  uint32_t rest = total - 2;
  if (!ReadFromFile(context->archiveHandle, h + 2, rest, &got) || got < rest) return kHeaderInvalid;

  if (!MethodIsAccepted(h)) return kHeaderInvalid;

  ClearEntryFields();
  context->attribute = h[kHeaderAttribute];
  if (!WalkExtendedHeaders(h, kHeaderFirstExtSize, total, ParseExtendedHeader)) {
    return kHeaderInvalid;
  }
  if (context->headerCrcField == nullptr) return kHeaderInvalid;

  // entryName holds both parts and its terminator.
  if (static_cast<uint32_t>(context->directoryNameLength) + context->fileNameLength >=
      kEntryNameCap) {
    return kHeaderInvalid;
  }

  context->headerCrcField[0] = 0;
  context->headerCrcField[1] = 0;
  context->runningCrc = 0;
  if (UpdateCrc(h, static_cast<int32_t>(total)) != context->headerCrc) return kHeaderInvalid;
  return kHeaderValid;
}

void BuildEntryName() {
  char* name = context->entryName;
  const uint32_t room = kEntryNameCap - 1;
  uint32_t dirLength = context->directoryNameLength;
  if (dirLength > room) dirLength = room;
  uint32_t fileLength = context->fileNameLength;
  if (fileLength > room - dirLength) fileLength = room - dirLength;

  // Each part ends at its length or at a NUL among its bytes; a NUL in the
  // directory part ends the whole name there.
  uint32_t n = CopyNamePart(name, context->directoryName, dirLength);
  if (n == dirLength) n += CopyNamePart(name + n, context->fileName, fileLength);
  name[n] = '\0';
  NormaliseSeparators(name, '/');
}

void ReleaseEntryHeader() {
  if (context->headerBuffer != nullptr) FreeMemory(context->headerBuffer);
  context->headerBuffer = nullptr;
  context->headerSize = 0;
  // The name fields point into the buffer just released.
  ClearEntryFields();
}

uint32_t EntryPackedSize() { return ReadLE32(context->headerBuffer + kHeaderPackedSize); }

uint32_t EntryOriginalSize() { return ReadLE32(context->headerBuffer + kHeaderOriginalSize); }

uint32_t EntryTime() { return ReadLE32(context->headerBuffer + kHeaderTime); }

void SetEntryTime(uint32_t time) { WriteLE32(context->headerBuffer + kHeaderTime, time); }

uint16_t EntryFileCrc() { return ReadLE16(context->headerBuffer + kHeaderFileCrc); }

char EntryMethodDigit() { return static_cast<char>(context->headerBuffer[kHeaderMethod + 3]); }
