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

void ClearEntryFields(ExtractContext* c) {
  c->headerCrcField = nullptr;
  c->headerCrc = 0;
  c->directoryName = nullptr;
  c->directoryNameLength = 0;
  c->fileName = nullptr;
  c->fileNameLength = 0;
}

// Takes the values of one extended header into the entry's fields.
void ParseExtendedHeader(ExtractContext* c, uint8_t type, const uint8_t* data, uint32_t length) {
  switch (type) {
    case kExtHeaderCrc:
      // Two data bytes are needed; a shorter one carries no CRC.
      if (length >= 2) {
        c->headerCrcField = const_cast<uint8_t*>(data);
        c->headerCrc = ReadLE16(data);
      }
      break;
    case kExtFileName:
      c->fileName = data;
      c->fileNameLength = static_cast<uint16_t>(length);
      break;
    case kExtDirectory:
      c->directoryName = data;
      c->directoryNameLength = static_cast<uint16_t>(length);
      break;
    case kExtAttribute:
      if (length >= 2 && OsKeepsDosAttributes(c->headerBuffer[kHeaderOsId])) {
        c->attribute = ReadLE16(data);
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

HeaderResult ReadEntryHeader(ExtractContext* c) {
  ReleaseEntryHeader(c);

  uint8_t sizeBytes[2];
  uint32_t got = 0;
  // Fewer than two bytes left is the end of the archive; a read that fails
  // is not, or a broken medium would pass for a complete extraction.
  if (!ReadFromFile(c->archiveHandle, sizeBytes, 2, &got)) return kHeaderReadError;
  if (got < 2) return kHeaderEnd;
  uint32_t total = ReadLE16(sizeBytes);
  if (total == 0) return kHeaderEnd;

  uint8_t* h = total <= kLargestHeader ? static_cast<uint8_t*>(AllocZeroed(total)) : nullptr;
  if (h == nullptr) return kHeaderNoMemory;
  c->headerBuffer = h;
  c->headerSize = static_cast<uint16_t>(total);

  // Too short for the fixed fields and the first size: nothing in it can be read.
  if (total < kHeaderFixedSize) return kHeaderInvalid;

  h[0] = sizeBytes[0];
  h[1] = sizeBytes[1];
  uint32_t rest = total - 2;
  if (!ReadFromFile(c->archiveHandle, h + 2, rest, &got) || got < rest) return kHeaderInvalid;

  if (!MethodIsAccepted(h)) return kHeaderInvalid;

  ClearEntryFields(c);
  c->attribute = h[kHeaderAttribute];
  auto parse = [c](uint8_t type, const uint8_t* data, uint32_t length) {
    ParseExtendedHeader(c, type, data, length);
  };
  if (!WalkExtendedHeaders(h, kHeaderFirstExtSize, total, parse)) {
    return kHeaderInvalid;
  }
  if (c->headerCrcField == nullptr) return kHeaderInvalid;

  // entryName holds both parts and its terminator.
  if (static_cast<uint32_t>(c->directoryNameLength) + c->fileNameLength >=
      kEntryNameCap) {
    return kHeaderInvalid;
  }

  c->headerCrcField[0] = 0;
  c->headerCrcField[1] = 0;
  c->runningCrc = 0;
  if (UpdateCrc(c, h, static_cast<int32_t>(total)) != c->headerCrc) return kHeaderInvalid;
  return kHeaderValid;
}

void BuildEntryName(ExtractContext* c) {
  char* name = c->entryName;
  const uint32_t room = kEntryNameCap - 1;
  uint32_t dirLength = c->directoryNameLength;
  if (dirLength > room) dirLength = room;
  uint32_t fileLength = c->fileNameLength;
  if (fileLength > room - dirLength) fileLength = room - dirLength;

  // Each part ends at its length or at a NUL among its bytes; a NUL in the
  // directory part ends the whole name there.
  uint32_t n = CopyNamePart(name, c->directoryName, dirLength);
  if (n == dirLength) n += CopyNamePart(name + n, c->fileName, fileLength);
  name[n] = '\0';
  NormaliseSeparators(name, '/');
}

void ReleaseEntryHeader(ExtractContext* c) {
  if (c->headerBuffer != nullptr) FreeMemory(c->headerBuffer);
  c->headerBuffer = nullptr;
  c->headerSize = 0;
  // The name fields point into the buffer just released.
  ClearEntryFields(c);
}

uint32_t EntryPackedSize(const ExtractContext* c) {
  return ReadLE32(c->headerBuffer + kHeaderPackedSize);
}

uint32_t EntryOriginalSize(const ExtractContext* c) {
  return ReadLE32(c->headerBuffer + kHeaderOriginalSize);
}

uint32_t EntryTime(const ExtractContext* c) { return ReadLE32(c->headerBuffer + kHeaderTime); }

void SetEntryTime(ExtractContext* c, uint32_t time) {
  WriteLE32(c->headerBuffer + kHeaderTime, time);
}

uint16_t EntryFileCrc(const ExtractContext* c) {
  return ReadLE16(c->headerBuffer + kHeaderFileCrc);
}

char EntryMethodDigit(const ExtractContext* c) {
  return static_cast<char>(c->headerBuffer[kHeaderMethod + 3]);
}
