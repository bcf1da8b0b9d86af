// Listing, testing and extracting a self-extractor with the stub's own code:
// its block reader, header reader, stored copy and decoder, over a record of
// its own. A plain LZH archive is read with the host's header reader (which
// knows levels 0 and 1 too) and decoded with the same stub code.
#include <string.h>

#include "archive/archive.h"
#include "builder.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "fail.h"
#include "core/text.h"
#include "decode/decode.h"
#include "host_os.h"
#include "lzh_reader.h"
#include "platform/platform.h"
#include "startup/startup.h"

namespace sfxbuild {
namespace {

// A fresh record for one listing or test, its own: every stub call it makes
// is handed this record (the run's global one is never touched), and what it
// holds is released with it.
class OwnRecord {
 public:
  OwnRecord() : c_(static_cast<ExtractContext*>(AllocZeroed(sizeof(ExtractContext)))) {}
  OwnRecord(const OwnRecord&) = delete;
  OwnRecord& operator=(const OwnRecord&) = delete;
  ~OwnRecord() {
    if (c_ == nullptr) return;
    ReleaseEntryHeader(c_);
    if (c_->archiveHandle != 0) CloseFile(c_->archiveHandle);
    FreeMemory(c_);
  }
  ExtractContext* get() const { return c_; }

 private:
  ExtractContext* c_;
};

bool IsSelfExtractor(const std::string& path) {
  hostos::InputFile in;
  std::string ignored;
  uint8_t head[2] = {0, 0};
  size_t got = 0;
  return in.Open(path, &ignored) && in.Read(head, 2, &got, &ignored) && got == 2 &&
         head[0] == 'M' && head[1] == 'Z';
}

// The stub's code keeps the path in a buffer of its own, in its own form.
bool KeepOwnPath(ExtractContext* c, const std::string& path, std::string* why) {
  std::string seam;
  if (!hostos::SeamPath(path, &seam)) return Fail(why, path + ": the name has no form here");
  if (seam.size() >= kOwnPathCap) return Fail(why, path + ": the path is too long");
  CopyText(c->ownPath, seam.c_str(), kOwnPathCap);
  return true;
}

// After KeepOwnPath.
bool OpenOwnFile(ExtractContext* c, const std::string& path, std::string* why) {
  OpenResult opened = OpenOwnArchive(c);
  if (opened == kOpenFailed) return Fail(why, path + ": cannot open");
  if (opened == kSizeUnknown) return Fail(why, path + ": cannot read");
  MakeCrcTable(c, kCrcPolynomial);
  return true;
}

bool MoveTo(const ExtractContext* c, uint64_t position) {
  return SeekArchive(c, position) == kSeekDone;
}

// Opens a self-extractor as a walk does: the block, the offset, the checksum.
// The execution level the manifest in the image asks for.
std::string ReadElevation(const std::string& path, uint32_t imageSize) {
  hostos::InputFile in;
  std::string ignored;
  std::string image(imageSize, '\0');
  size_t got = 0, total = 0;
  if (!in.Open(path, &ignored)) return std::string();
  while (total < image.size() && in.Read(&image[total], image.size() - total, &got, &ignored) &&
         got > 0)
    total += got;
  image.resize(total);
  static const char kLevel[] = "requestedExecutionLevel level=\"";
  size_t at = image.find(kLevel);
  if (at != std::string::npos) {
    std::string level = image.substr(at + sizeof kLevel - 1, 20);
    if (level.compare(0, 20, "requireAdministrator") == 0) return "admin";
    if (level.compare(0, 9, "asInvoker") == 0) return "user";
    return std::string();
  }
  return image.find("<!--sfx-elevation") != std::string::npos ? "legacy" : std::string();
}

bool OpenSelfExtractor(ExtractContext* c, const std::string& path, ArchiveListing* listing,
                       std::string* why) {
  if (!KeepOwnPath(c, path, why)) return false;
  ReadConfig(c);
  const SfxConfig& config = c->config;
  listing->windowTitle = config.windowTitle;
  listing->installTitle = config.installTitle;
  listing->installFolder = config.installFolder;
  listing->command = config.command;
  listing->flags = config.flags;
  listing->restoreAttributes = config.restoreAttributes;
  listing->elevation = ReadElevation(path, config.archiveOffset);
  if (!OpenOwnFile(c, path, why)) return false;
  listing->archiveOffset = c->config.archiveOffset;
  if (!MoveTo(c, c->config.archiveOffset))
    return Fail(why, path + ": the archive lies beyond the end of the file");
  listing->hasChecksum = (c->config.flags & kFlagChecksum) != 0;
  if (listing->hasChecksum) {
    ReadStoredChecksum(c);
    listing->storedChecksum = c->storedChecksum;
  }
  return true;
}

ListedEntry CurrentEntry(const ExtractContext* c) {
  const uint8_t* h = c->headerBuffer;
  ListedEntry e;
  e.method.assign(reinterpret_cast<const char*>(h + kHeaderMethod), 5);
  e.packedSize = EntryPackedSize(c);
  e.originalSize = EntryOriginalSize(c);
  e.time = EntryTime(c);
  e.attribute = c->attribute;
  e.fileCrc = EntryFileCrc(c);
  e.name = c->entryName;
  return e;
}

// Every entry in turn, the archive at its data; step handles the data and
// leaves the archive where it likes. A self-extractor through the stub's
// header reader; a plain archive through the host's, with a level-2 header
// made up for the stub's decoder.
template <typename Step>
bool Walk(ExtractContext* c, const std::string& path, ArchiveListing* listing, std::string* why,
          Step step) {
  if (IsSelfExtractor(path)) {
    if (!OpenSelfExtractor(c, path, listing, why)) return false;
    for (;;) {
      HeaderResult r = ReadEntryHeader(c);
      if (r == kHeaderEnd) return true;
      if (r != kHeaderValid)
        return Fail(why, path + ": entry " + std::to_string(listing->entries.size() + 1) +
                             " has an invalid header");
      BuildEntryName(c);
      listing->entries.push_back(CurrentEntry(c));
      listing->computedChecksum ^= listing->entries.back().fileCrc;
      uint32_t at = 0;
      if (!GetFilePosition(c->archiveHandle, &at)) return Fail(why, path + ": cannot read");
      const ListedEntry& e = listing->entries.back();
      if (uint64_t{at} + e.packedSize > c->archiveSize || !step(e) ||
          !MoveTo(c, uint64_t{at} + e.packedSize))
        return Fail(why, path + ": data of \"" + hostos::ToUtf8(e.name) + "\" is missing");
    }
  }
  std::vector<lzhr::Entry> entries;
  if (!lzhr::ReadArchive(path, &entries, why)) return false;
  if (!KeepOwnPath(c, path, why) || !OpenOwnFile(c, path, why)) return false;
  listing->plain = true;
  for (const lzhr::Entry& p : entries) {
    ReleaseEntryHeader(c);
    uint8_t* h = static_cast<uint8_t*>(AllocZeroed(kHeaderFixedSize));
    if (h == nullptr) return Fail(why, "out of memory");
    memcpy(h + kHeaderMethod, p.method.data(), 5);
    WriteLE32(h + kHeaderPackedSize, p.packedSize);
    WriteLE32(h + kHeaderOriginalSize, p.originalSize);
    WriteLE32(h + kHeaderTime, p.time);
    WriteLE16(h + kHeaderFileCrc, p.fileCrc);
    c->headerBuffer = h;
    c->headerSize = kHeaderFixedSize;
    c->attribute = p.attribute;
    CopyText(c->entryName, p.name.c_str(), kEntryNameCap);
    ListedEntry e = CurrentEntry(c);
    e.name = p.name;
    listing->entries.push_back(e);
    listing->computedChecksum ^= e.fileCrc;
    if (!MoveTo(c, p.dataOffset) || !step(listing->entries.back()))
      return Fail(why, path + ": data of \"" + hostos::ToUtf8(p.name) + "\" is missing");
  }
  return true;
}

bool Decodable(const ListedEntry& e) {
  return e.method == "-lh0-" || e.method == "-lh4-" || e.method == "-lh5-" ||
         e.method == "-lh6-" || e.method == "-lh7-";
}

// The current entry's data through the stub's stored copy or decoder into
// the record's output. Empty when it came out whole with its CRC, else what
// went wrong, in words.
std::string DecodeData(ExtractContext* record, const ListedEntry& e) {
  record->codec.sink = StoreToRecord;
  record->codec.sinkData = record;
  switch (RunEntryData(record)) {
    case kDecodeDone:
      return record->runningCrc == e.fileCrc ? std::string() : "CRC error";
    case kDecodeOverrun:
      return "data ends early";
    case kDecodeBadTable:
      return "bad Huffman table";
    case kDecodeReadError:
      return "read error";
    case kDecodeStopped:
      return "write error";
  }
  return "unknown error";
}

// Where a stored name may be written below a folder: not absolute, no drive,
// no parent folder, no directory macro (which only the self-extractor
// expands). Empty when it is fine, else why not.
std::string Unconfined(const std::string& name) {
  if (name.empty()) return "an empty name";
  if (name[0] == '/' || name[0] == '\\') return "an absolute name";
  if (name.size() > 1 && name[1] == ':') return "a name with a drive";
  if (name[0] == '%') return "a directory macro, which only the self-extractor expands";
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") return "a parent folder (\"..\")";
    start = end + 1;
  }
  return std::string();
}

}  // namespace

bool ListSelfExtractor(const std::string& path, ArchiveListing* listing, std::string* why) {
  *listing = ArchiveListing();
  OwnRecord own;
  if (own.get() == nullptr) return Fail(why, "out of memory");
  ExtractContext* record = own.get();
  return Walk(record, path, listing, why, [listing, record](const ListedEntry& e) {
    // The notice and the setup script are decoded into the stub's own
    // buffers, as the scan pass does.
    if ((e.name == "$" || e.name == "!") && Decodable(e) && !listing->plain) {
      bool script = e.name == "$";
      record->outputHandle = kMemoryMarker;
      record->memoryTarget = script ? kMemoryScript : kMemoryNotice;
      DecodeData(record, e);
      record->outputHandle = 0;
      record->memoryTarget = kMemoryNone;
      (script ? listing->scripts : listing->notices)
          .push_back(script ? record->scriptBuffer : record->messageText);
    }
    return true;
  });
}

bool TestSelfExtractor(const std::string& path, TestResult* result, std::string* why) {
  *result = TestResult();
  OwnRecord own;
  if (own.get() == nullptr) return Fail(why, "out of memory");
  std::vector<EntryReport>& entries = result->entries;
  ExtractContext* record = own.get();
  bool ok = Walk(record, path, &result->listing, why, [&entries, record](const ListedEntry& e) {
    entries.push_back({hostos::ToUtf8(e.name), std::string()});
    if (e.method == "-lhd-") return true;
    if (!Decodable(e)) {
      entries.back().problem = "method " + e.method + " is not one the self-extractor knows";
      return true;
    }
    // Decoded into nothing but the CRC.
    record->outputHandle = 0;
    record->memoryTarget = kMemoryNone;
    entries.back().problem = DecodeData(record, e);
    return true;
  });
  result->checksumOk = !result->listing.hasChecksum ||
                       result->listing.storedChecksum == result->listing.computedChecksum;
  return ok;
}

bool ExtractArchive(const std::string& path, const std::string& folder, ExtractResult* result,
                    std::string* why, bool overwrite) {
  *result = ExtractResult();
  OwnRecord own;
  if (own.get() == nullptr) return Fail(why, "out of memory");
  if (!hostos::MakeDirectories(folder, why)) return false;
  std::vector<EntryReport>& entries = result->entries;
  ExtractContext* record = own.get();
  bool ok = Walk(record, path, &result->listing, why, [&](const ListedEntry& e) {
    std::string shown = hostos::ToUtf8(e.name);
    if (!result->listing.plain && (e.name == "!" || e.name == "$")) {
      ++result->special;
      return true;
    }
    entries.push_back({shown, std::string()});
    std::string& problem = entries.back().problem;
    std::string refused = Unconfined(e.name);
    if (!refused.empty()) {
      problem = refused + "; not written";
      return true;
    }
    std::string target = hostos::JoinPath(folder, shown);
    if (e.method == "-lhd-" || (!e.name.empty() && e.name.back() == '/')) {
      std::string made;
      if (!hostos::MakeDirectories(target, &made)) {
        problem = made;
      } else {
        result->folders.push_back({target, e.time});
      }
      return true;
    }
    if (!Decodable(e)) {
      problem = "method " + e.method + " is not one the self-extractor knows; not written";
      return true;
    }
    std::string parent = target.substr(0, target.size() - hostos::BaseName(target).size());
    std::string made;
    if (!parent.empty() && !hostos::MakeDirectories(parent, &made)) {
      problem = made;
      return true;
    }
    std::string seam;
    if (!hostos::SeamPath(target, &seam)) {
      problem = "the name has no form on this system; not written";
      return true;
    }
    hostos::FileInfo existing;
    std::string absent;
    if (hostos::Stat(target, &existing, &absent)) {
      if (!overwrite || existing.isDirectory) {
        problem = existing.isDirectory ? "a folder of that name exists; not written"
                                       : "exists; not replaced (--overwrite replaces it)";
        return true;
      }
      entries.back().replaced = true;
    }
    record->outputHandle = CreateForWrite(seam.c_str());
    if (record->outputHandle == 0) {
      problem = "cannot be created";
      return true;
    }
    record->memoryTarget = kMemoryNone;
    problem = DecodeData(record, e);
    int closed = CloseFile(record->outputHandle);
    record->outputHandle = 0;
    if (problem.empty() && !closed) problem = "write error";
    if (!problem.empty()) {
      // Nothing of a damaged entry is left behind.
      DeleteFileAt(seam.c_str());
      problem += "; not written";
      return true;
    }
    hostos::SetModificationTime(target, e.time);
    ++result->files;
    return true;
  });
  // Innermost first, and after their contents: a file written into a folder
  // changes the folder's time.
  for (auto f = result->folders.rbegin(); f != result->folders.rend(); ++f) {
    hostos::SetModificationTime(f->path, f->time);
  }
  return ok;
}

}  // namespace sfxbuild
