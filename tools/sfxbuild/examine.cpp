// Listing and testing a self-extractor with the stub's own code: its block
// reader, header reader, stored copy and decoder, over a context of its own.
#include <string.h>

#include "archive/archive.h"
#include "builder.h"
#include "core/context.h"
#include "core/text.h"
#include "decode/decode.h"
#include "host_os.h"
#include "platform/platform.h"
#include "startup/startup.h"

namespace sfxbuild {
namespace {

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

// A fresh context for one listing or test; the caller's one comes back after.
class ContextScope {
 public:
  ContextScope() : saved_(context) {
    own_ = static_cast<ExtractContext*>(AllocZeroed(sizeof(ExtractContext)));
    context = own_;
  }
  ~ContextScope() {
    if (own_ != nullptr) {
      ReleaseEntryHeader();
      if (own_->archiveHandle != 0) CloseFile(own_->archiveHandle);
      FreeMemory(own_);
    }
    context = saved_;
  }
  bool Ok() const { return own_ != nullptr; }

 private:
  ExtractContext* saved_;
  ExtractContext* own_;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Opens the archive as a walk does: the block, the offset, the checksum.
bool OpenArchiveAt(const std::string& path, ArchiveListing* listing, std::string* why) {
  if (path.size() >= kOwnPathCap) return Fail(why, path + ": the path is too long");
  CopyText(context->ownPath, path.c_str(), kOwnPathCap);
  ReadConfig();
  context->archiveHandle = OpenExistingForRead(context->ownPath);
  if (context->archiveHandle == 0) return Fail(why, path + ": cannot open");
  uint32_t size = GetFileSizeOf(context->archiveHandle);
  if (size == 0xFFFFFFFFu) return Fail(why, path + ": cannot read");
  context->archiveSize = size;
  listing->archiveOffset = context->config.archiveOffset;
  uint32_t reached = 0;
  if (!SeekFile(context->archiveHandle, context->config.archiveOffset, &reached) ||
      reached > size)
    return Fail(why, path + ": the archive lies beyond the end of the file");
  listing->hasChecksum = (context->config.flags & kFlagChecksum) != 0;
  if (listing->hasChecksum) {
    uint8_t bytes[2] = {0, 0};
    uint32_t got = 0;
    ReadFromFile(context->archiveHandle, bytes, 2, &got);
    listing->storedChecksum = Get16(bytes);
  }
  MakeCrcTable(kCrcPolynomial);
  return true;
}

// Every entry in turn; step handles the entry's data and leaves the archive
// at its end, or returns false.
template <typename Step>
bool Walk(const std::string& path, ArchiveListing* listing, std::string* why, Step step) {
  if (!OpenArchiveAt(path, listing, why)) return false;
  for (;;) {
    HeaderResult r = ReadEntryHeader();
    if (r == kHeaderEnd) break;
    if (r != kHeaderValid)
      return Fail(why, path + ": entry " + std::to_string(listing->entries.size() + 1) +
                           " has an invalid header");
    BuildEntryName();
    const uint8_t* h = context->headerBuffer;
    ListedEntry e;
    e.method.assign(reinterpret_cast<const char*>(h + kHeaderMethod), 5);
    e.packedSize = EntryPackedSize();
    e.originalSize = EntryOriginalSize();
    e.time = EntryTime();
    e.attribute = context->attribute;
    e.fileCrc = EntryFileCrc();
    e.name = context->entryName;
    listing->computedChecksum ^= e.fileCrc;
    listing->entries.push_back(e);
    if (!step(listing->entries.back())) return Fail(why, path + ": data of \"" +
                                                             hostos::ToUtf8(e.name) +
                                                             "\" is missing");
  }
  return true;
}

bool MoveTo(uint64_t position) {
  if (position > context->archiveSize) return false;
  uint32_t reached = 0;
  return SeekFile(context->archiveHandle, static_cast<uint32_t>(position), &reached) &&
         reached == position;
}

}  // namespace

bool ListSelfExtractor(const std::string& path, ArchiveListing* listing, std::string* why) {
  *listing = ArchiveListing();
  ContextScope scope;
  if (!scope.Ok()) return Fail(why, "out of memory");
  return Walk(path, listing, why, [listing](const ListedEntry& e) {
    uint32_t at = 0;
    if (!GetFilePosition(context->archiveHandle, &at)) return false;
    char digit = EntryMethodDigit();
    // The setup script is decoded into the stub's own buffer, as the scan pass does.
    if (e.name == "$" && (digit == '0' || (digit >= '4' && digit <= '7')) &&
        static_cast<uint64_t>(at) + e.packedSize <= context->archiveSize) {
      context->outputHandle = kMemoryMarker;
      context->memoryTarget = kMemoryScript;
      context->scriptBuffer[0] = '\0';
      context->runningCrc = 0;
      context->readIndex = 0xFFFFFFFFu;
      if (digit == '0') {
        CopyStored(static_cast<int32_t>(e.originalSize));
      } else {
        DecodeEntry();
      }
      context->outputHandle = 0;
      context->memoryTarget = kMemoryNone;
      listing->scripts.push_back(context->scriptBuffer);
    }
    return MoveTo(static_cast<uint64_t>(at) + e.packedSize);
  });
}

bool TestSelfExtractor(const std::string& path, TestResult* result, std::string* why) {
  *result = TestResult();
  ContextScope scope;
  if (!scope.Ok()) return Fail(why, "out of memory");
  std::vector<std::string>& failures = result->failures;
  bool ok = Walk(path, &result->listing, why, [&failures](const ListedEntry& e) {
    uint32_t start = 0;
    if (!GetFilePosition(context->archiveHandle, &start)) return false;
    if (static_cast<uint64_t>(start) + e.packedSize > context->archiveSize) return false;
    char digit = EntryMethodDigit();
    if (digit == '0' || (digit >= '4' && digit <= '7')) {
      // An empty output path: should the stub's code end the run, it must not
      // delete the null device.
      context->outputPath[0] = '\0';
      context->outputHandle = CreateForWrite(hostos::NullDevicePath());
      if (context->outputHandle == 0) return false;
      context->memoryTarget = kMemoryNone;
      context->runningCrc = 0;
      context->readIndex = 0xFFFFFFFFu;
      if (digit == '0') {
        CopyStored(static_cast<int32_t>(e.originalSize));
      } else {
        DecodeEntry();
      }
      CloseFile(context->outputHandle);
      context->outputHandle = 0;
      if (context->runningCrc != e.fileCrc || context->streamOverrun)
        failures.push_back(hostos::ToUtf8(e.name) + ": CRC error");
    }
    return MoveTo(static_cast<uint64_t>(start) + e.packedSize);
  });
  if (!ok) return false;
  if (result->listing.hasChecksum &&
      result->listing.storedChecksum != result->listing.computedChecksum) {
    result->checksumOk = false;
    failures.push_back("archive checksum mismatch");
  }
  return true;
}

}  // namespace sfxbuild
