#include "layout.h"

#include <string.h>

#include "core/little_endian.h"
#include "fail.h"

namespace stublayout {

const char kMarker[kMarkerSize + 1] = "LZHSFX-W32";

namespace {

// The text the real-mode program prints, as code page 932 bytes whatever the
// compiler's execution character set:
//   このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.
//   MS-DOS モードでは実行できません．
const char kDosMessage[] =
    "\x82\xb1\x82\xcc\x83v\x83\x8d\x83O\x83\x89\x83\x80\x82\xcd Windows 32\xcb\xde\xaf\xc4\x94\xc5\x82\xcc LZH \x8e\xa9\x8c\xc8\x89\xf0\x93\x80\x8f\x91\x8c\xc9\x82\xc5\x82\xb7.\r\n"
    "MS-DOS \x83\x82\x81[\x83h\x82\xc5\x82\xcd\x8e\xc0\x8ds\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81" "D\r\n"
    "$";
static_assert(sizeof(kDosMessage) - 1 == 95, "the message fills the real-mode program");

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kCoffSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDebugEntrySize = 28;

// Where the parts of the PE headers are, checked against the file's size.
struct PeView {
  uint32_t peOffset;
  uint32_t optionalOffset;
  uint32_t optionalSize;
  uint32_t sectionTable;
  uint32_t sectionCount;
  uint32_t headersEnd;        // end of the section table
  bool pe32Plus;
  uint32_t fileAlignment;
  uint32_t sectionAlignment;
  uint32_t sizeOfHeaders;
  uint32_t checksumOffset;    // file offset of the CheckSum field
  uint32_t directoryCount;
  uint32_t directoryOffset;   // file offset of the data directories
};

bool ReadPeView(const uint8_t* data, size_t size, uint32_t peOffset, PeView* v,
                std::string* why) {
  if (size < peOffset || size - peOffset < 4 + kCoffSize)
    return Fail(why, "file too short for the PE headers");
  if (memcmp(data + peOffset, "PE\0\0", 4) != 0) return Fail(why, "no PE signature");
  const uint8_t* coff = data + peOffset + 4;
  v->peOffset = peOffset;
  v->sectionCount = ReadLE16(coff + 2);
  v->optionalSize = ReadLE16(coff + 16);
  v->optionalOffset = peOffset + 4 + kCoffSize;
  v->sectionTable = v->optionalOffset + v->optionalSize;
  v->headersEnd = v->sectionTable + v->sectionCount * kSectionHeaderSize;
  if (v->headersEnd > size) return Fail(why, "section table beyond the end of the file");
  if (v->optionalSize < 2) return Fail(why, "no optional header");
  const uint8_t* opt = data + v->optionalOffset;
  uint16_t magic = ReadLE16(opt);
  if (magic != 0x10B && magic != 0x20B) return Fail(why, "unknown optional header");
  v->pe32Plus = magic == 0x20B;
  uint32_t directoriesAt = v->pe32Plus ? 112 : 96;
  if (v->optionalSize < directoriesAt) return Fail(why, "optional header too short");
  v->sectionAlignment = ReadLE32(opt + 32);
  v->fileAlignment = ReadLE32(opt + 36);
  v->sizeOfHeaders = ReadLE32(opt + 60);
  v->checksumOffset = v->optionalOffset + 64;
  v->directoryCount = ReadLE32(opt + directoriesAt - 4);
  v->directoryOffset = v->optionalOffset + directoriesAt;
  if (v->directoryCount > (v->optionalSize - directoriesAt) / 8)
    return Fail(why, "data directories beyond the optional header");
  return true;
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// File offset of an RVA inside a section's raw data; 0 when none holds it.
uint32_t RvaToOffset(const uint8_t* data, const PeView& v, uint32_t rva, uint32_t length) {
  for (uint32_t i = 0; i < v.sectionCount; ++i) {
    const uint8_t* s = data + v.sectionTable + i * kSectionHeaderSize;
    uint32_t va = ReadLE32(s + 12), raw = ReadLE32(s + 16), ptr = ReadLE32(s + 20);
    if (rva >= va && rva - va <= raw && raw - (rva - va) >= length) return ptr + (rva - va);
  }
  return 0;
}

}  // namespace

std::vector<uint8_t> MsDosHeader() {
  std::vector<uint8_t> h(kDosHeaderSize, 0);
  h[0] = 'M';
  h[1] = 'Z';
  WriteLE16(&h[0x02], 0x00CF);   // bytes in the last page: with 3 pages, 1231 bytes
  WriteLE16(&h[0x04], 3);
  WriteLE16(&h[0x06], 0);        // no relocations
  WriteLE16(&h[0x08], 0x0020);   // 32 paragraphs: the load module starts at 512
  WriteLE16(&h[0x0A], 0);
  WriteLE16(&h[0x0C], 0xFFFF);
  WriteLE16(&h[0x0E], 0x0000);   // SS
  WriteLE16(&h[0x10], 0x025C);   // SP
  WriteLE16(&h[0x12], 0);
  WriteLE16(&h[0x14], 0x0000);   // IP
  WriteLE16(&h[0x16], 0x0026);   // CS: load-module offset 0x260, file offset 0x460
  WriteLE16(&h[0x18], 0x0040);
  WriteLE16(&h[0x1A], 0);
  WriteLE32(&h[0x1C], 1);
  WriteLE32(&h[0x20], 1);
  memcpy(&h[kMarkerOffset], kMarker, kMarkerSize);
  WriteLE32(&h[0x3C], kPeOffset);
  return h;
}

std::vector<uint8_t> RealModeProgram() {
  const uint32_t messageSize = sizeof(kDosMessage) - 1;
  std::vector<uint8_t> p;
  p.push_back(0xEB);                                  // jmp short over the message
  p.push_back(static_cast<uint8_t>(messageSize));
  const uint8_t messageAt = static_cast<uint8_t>(p.size());
  p.insert(p.end(), kDosMessage, kDosMessage + messageSize);
  const uint8_t code[] = {
      0x0E,                     // push cs
      0x1F,                     // pop ds: the message is addressed from the code segment
      0xBA, messageAt, 0x00,    // mov dx, message
      0xB4, 0x09,               // mov ah, 09h: print up to "$"
      0xCD, 0x21,               // int 21h
      0xB8, 0x01, 0x4C,         // mov ax, 4C01h: end with exit code 1
      0xCD, 0x21,               // int 21h
  };
  p.insert(p.end(), code, code + sizeof(code));
  p.resize(kRealModeSize, 0);
  return p;
}

void PeChecksum::Add(uint64_t at, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; i += 2) {
    uint64_t offset = at + i;
    if (offset == checksumOffset_ || offset == checksumOffset_ + 2) continue;
    uint32_t word = data[i];
    if (i + 1 < size) word |= static_cast<uint32_t>(data[i + 1]) << 8;
    sum_ += word;
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
  }
}

uint32_t PeChecksum::Finish(uint64_t fileSize) const {
  uint64_t sum = (sum_ & 0xFFFF) + (sum_ >> 16);
  return static_cast<uint32_t>(sum + fileSize);
}

uint32_t ComputePeChecksum(const uint8_t* data, size_t size, size_t checksumOffset) {
  PeChecksum checksum(checksumOffset);
  checksum.Add(0, data, size);
  return checksum.Finish(size);
}

size_t PeChecksumOffset(const uint8_t* data, size_t size) {
  if (size < kDosHeaderSize) return 0;
  PeView v;
  if (!ReadPeView(data, size, ReadLE32(data + 0x3C), &v, nullptr)) return 0;
  // An odd checksum offset would break the word sum; PE headers are 8-aligned.
  return v.checksumOffset % 2 == 0 ? v.checksumOffset : 0;
}

bool UpdatePeChecksum(std::vector<uint8_t>& image) {
  if (image.size() < kDosHeaderSize) return false;
  PeView v;
  if (!ReadPeView(image.data(), image.size(), ReadLE32(&image[0x3C]), &v, nullptr)) return false;
  // An odd checksum offset would break the word sum; PE headers are 8-aligned.
  if (v.checksumOffset % 2 != 0) return false;
  WriteLE32(&image[v.checksumOffset], 0);
  WriteLE32(&image[v.checksumOffset], ComputePeChecksum(image.data(), image.size(), v.checksumOffset));
  return true;
}

bool ApplyStubLayout(std::vector<uint8_t>& image, std::string* why) {
  const uint8_t* data = image.data();
  const size_t size = image.size();
  if (size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z')
    return Fail(why, "no MS-DOS header");
  if (size > 0x7FFFFFFF) return Fail(why, "file too large");
  PeView v;
  if (!ReadPeView(data, size, ReadLE32(data + 0x3C), &v, why)) return false;
  if (!IsPowerOfTwo(v.fileAlignment) || v.fileAlignment < 0x20 || v.fileAlignment > 0x10000)
    return Fail(why, "invalid file alignment");
  if (v.sizeOfHeaders % v.fileAlignment != 0 || v.sizeOfHeaders > size ||
      v.sizeOfHeaders < v.headersEnd)
    return Fail(why, "invalid SizeOfHeaders");

  // Everything from the old SizeOfHeaders on moves by the same whole number of
  // alignment units, so every section keeps its alignment.
  const uint32_t headerBytes = v.headersEnd - v.peOffset;
  const uint32_t newHeadersEnd = kPeOffset + headerBytes;
  const uint32_t newSizeOfHeaders = AlignUp(newHeadersEnd, v.fileAlignment);
  const int64_t delta = static_cast<int64_t>(newSizeOfHeaders) - v.sizeOfHeaders;

  // The headers are mapped at RVA 0: they must still end before the first section.
  for (uint32_t i = 0; i < v.sectionCount; ++i) {
    const uint8_t* s = data + v.sectionTable + i * kSectionHeaderSize;
    if (ReadLE32(s + 12) < newSizeOfHeaders)
      return Fail(why, "the moved headers would overlap the first section");
  }

  // Every file offset that must follow the move; each has to point past the old
  // headers, since nothing inside them is kept.
  std::vector<uint32_t> offsetFields;   // file offsets (in the old image) of 32-bit fields
  auto addField = [&](uint32_t at, bool allowZero) -> bool {
    uint32_t value = ReadLE32(data + at);
    if (value == 0 && allowZero) return true;
    if (value < v.sizeOfHeaders || value > size) return false;
    offsetFields.push_back(at);
    return true;
  };
  const uint32_t coff = v.peOffset + 4;
  if (!addField(coff + 8, true)) return Fail(why, "symbol table inside the headers");
  for (uint32_t i = 0; i < v.sectionCount; ++i) {
    uint32_t s = v.sectionTable + i * kSectionHeaderSize;
    if (!addField(s + 20, true) || !addField(s + 24, true) || !addField(s + 28, true))
      return Fail(why, "section data inside the headers");
    uint32_t ptr = ReadLE32(data + s + 20), raw = ReadLE32(data + s + 16);
    if (ptr != 0 && (ptr > size || raw > size - ptr))
      return Fail(why, "section data beyond the end of the file");
  }
  for (uint32_t d = 0; d < v.directoryCount; ++d) {
    uint32_t at = v.directoryOffset + d * 8;
    uint32_t rva = ReadLE32(data + at), length = ReadLE32(data + at + 4);
    if (rva == 0) continue;
    if (d == 4) {   // the certificate table is addressed by file offset
      if (!addField(at, false)) return Fail(why, "certificate table inside the headers");
    } else if (d == 6) {   // debug entries name their data by file offset
      uint32_t table = RvaToOffset(data, v, rva, length);
      if (table == 0 && length != 0) return Fail(why, "debug directory outside the sections");
      for (uint32_t e = 0; e + kDebugEntrySize <= length; e += kDebugEntrySize)
        if (!addField(table + e + 24, true)) return Fail(why, "debug data inside the headers");
    } else if (d == 11) {   // bound imports live inside the headers themselves
      return Fail(why, "bound imports cannot be moved");
    } else if (rva < v.sizeOfHeaders) {
      return Fail(why, "a data directory points into the headers");
    }
  }

  std::vector<uint8_t> out(newSizeOfHeaders, 0);
  std::vector<uint8_t> header = MsDosHeader();
  memcpy(out.data(), header.data(), header.size());
  std::vector<uint8_t> program = RealModeProgram();
  memcpy(out.data() + kRealModeOffset, program.data(), program.size());
  memcpy(out.data() + kPeOffset, data + v.peOffset, headerBytes);
  out.insert(out.end(), data + v.sizeOfHeaders, data + size);

  // Field positions in the new image: header fields moved with the headers,
  // fields inside section data (debug entries) moved with the data.
  auto newPosition = [&](uint32_t oldAt) -> uint32_t {
    if (oldAt >= v.peOffset && oldAt < v.headersEnd) return oldAt - v.peOffset + kPeOffset;
    return static_cast<uint32_t>(oldAt + delta);
  };
  for (uint32_t oldAt : offsetFields) {
    uint32_t at = newPosition(oldAt);
    WriteLE32(&out[at], static_cast<uint32_t>(ReadLE32(data + oldAt) + delta));
  }
  const uint32_t optionalAt = kPeOffset + (v.optionalOffset - v.peOffset);
  WriteLE32(&out[optionalAt + 60], newSizeOfHeaders);

  image.swap(out);
  UpdatePeChecksum(image);
  return true;
}

bool FoldTrailingExports(std::vector<uint8_t>& image) {
  uint8_t* data = image.data();
  const size_t size = image.size();
  PeView v;
  if (size < kDosHeaderSize || !ReadPeView(data, size, ReadLE32(data + 0x3C), &v, nullptr) ||
      v.sectionCount < 2 || v.directoryCount < 1 || size > 0x7FFFFFFF)
    return false;
  uint8_t* last = data + v.sectionTable + (v.sectionCount - 1) * kSectionHeaderSize;
  uint8_t* prev = last - kSectionHeaderSize;
  const uint32_t lastVa = ReadLE32(last + 12), lastRaw = ReadLE32(last + 16);
  const uint32_t lastPtr = ReadLE32(last + 20);
  const uint32_t prevVa = ReadLE32(prev + 12), prevRaw = ReadLE32(prev + 16);
  const uint32_t prevPtr = ReadLE32(prev + 20);
  uint8_t* directory = data + v.directoryOffset;
  const uint32_t exportRva = ReadLE32(directory), exportSize = ReadLE32(directory + 4);
  // The last section is the exports alone, its data ends the file, and the
  // section before it is stored just before it.
  if (exportRva != lastVa || exportSize < 40 || exportSize > ReadLE32(last + 8) ||
      exportSize > lastRaw || lastPtr != prevPtr + prevRaw || lastPtr > size ||
      size - lastPtr != lastRaw)
    return false;
  const uint32_t newRva = prevVa + AlignUp(ReadLE32(prev + 8), 4);
  if (newRva + exportSize > prevVa + prevRaw || newRva + exportSize > lastVa) return false;
  for (uint32_t d = 1; d < v.directoryCount; ++d) {   // nothing else may live there
    uint32_t rva = ReadLE32(directory + d * 8);
    if (d != 4 && rva >= lastVa) return false;
  }

  // The export data names its own parts by RVA: those follow it.
  std::vector<uint8_t> exports(data + lastPtr, data + lastPtr + exportSize);
  const uint32_t delta = newRva - exportRva;   // negative, as unsigned arithmetic
  auto follow = [&](uint32_t at) {
    uint32_t rva = ReadLE32(&exports[at]);
    if (rva >= exportRva && rva - exportRva < exportSize) WriteLE32(&exports[at], rva + delta);
  };
  const uint32_t functions = ReadLE32(&exports[28]) - exportRva;
  const uint32_t names = ReadLE32(&exports[32]) - exportRva;
  const uint32_t functionCount = ReadLE32(&exports[20]), nameCount = ReadLE32(&exports[24]);
  if ((functionCount != 0 && (functions > exportSize || functionCount > (exportSize - functions) / 4)) ||
      (nameCount != 0 && (names > exportSize || nameCount > (exportSize - names) / 4)))
    return false;
  for (uint32_t i = 0; i < functionCount; ++i) follow(functions + 4 * i);   // forwarders
  for (uint32_t i = 0; i < nameCount; ++i) follow(names + 4 * i);
  for (uint32_t at : {12u, 28u, 32u, 36u}) follow(at);

  memcpy(data + prevPtr + (newRva - prevVa), exports.data(), exportSize);
  WriteLE32(prev + 8, newRva + exportSize - prevVa);
  // Some loaders may drop a discardable section after loading; the exports
  // must stay.
  WriteLE32(prev + 36, ReadLE32(prev + 36) & ~0x02000000u);
  WriteLE32(directory, newRva);
  memset(last, 0, kSectionHeaderSize);
  WriteLE16(data + v.peOffset + 4 + 2, v.sectionCount - 1);
  uint8_t* opt = data + v.optionalOffset;
  WriteLE32(opt + 8, ReadLE32(opt + 8) - lastRaw);   // SizeOfInitializedData
  WriteLE32(opt + 56, AlignUp(newRva + exportSize, v.sectionAlignment));   // SizeOfImage
  image.resize(lastPtr);
  UpdatePeChecksum(image);
  return true;
}

namespace {

// A 32-bit field that holds the RVA of an import name, and the name's extent.
struct NameField {
  uint32_t at;      // file offset of the field
  uint32_t rva;     // where the name starts
  uint32_t end;     // one past its terminating zero
};

// The part of a section that the import names are looked for in.
struct SectionSpan {
  uint32_t va, end, ptr;   // RVAs [va, end) are stored from file offset ptr
  uint32_t OffsetOf(uint32_t rva) const { return ptr + (rva - va); }
};

// Length of the zero-terminated string at file offset at, including the zero,
// when it ends before limit; 0 when it does not.
uint32_t TerminatedLength(const uint8_t* data, uint32_t at, uint32_t limit) {
  for (uint32_t i = at; i < limit; ++i)
    if (data[i] == 0) return i - at + 1;
  return 0;
}

// Every field that names an import name: the descriptors' library names and
// the thunks taken by name, in both tables when the lookup table exists. All
// of it must lie in the span; false otherwise. *descriptorsEnd: one past the
// terminating descriptor.
bool CollectImportNames(const uint8_t* data, const SectionSpan& span, uint32_t importRva,
                        bool pe32Plus, std::vector<NameField>* fields, uint32_t* descriptorsEnd) {
  auto addName = [&](uint32_t fieldAt, uint32_t rva, uint32_t skip) -> bool {
    if (rva < span.va || rva >= span.end || span.end - rva <= skip) return false;
    uint32_t length = TerminatedLength(data, span.OffsetOf(rva) + skip, span.OffsetOf(span.end));
    if (length == 0) return false;
    fields->push_back({fieldAt, rva, rva + skip + length});
    return true;
  };
  const uint32_t thunkSize = pe32Plus ? 8 : 4;
  for (uint32_t d = importRva;; d += 20) {
    if (d < span.va || span.end - d < 20) return false;
    *descriptorsEnd = d + 20;
    const uint32_t at = span.OffsetOf(d);
    const uint32_t tables[2] = {ReadLE32(data + at), ReadLE32(data + at + 16)};
    const uint32_t name = ReadLE32(data + at + 12);
    if (name == 0 && tables[1] == 0) return !fields->empty();
    if (!addName(at + 12, name, 0)) return false;
    for (uint32_t table : tables) {
      for (uint32_t t = table; t != 0; t += thunkSize) {
        if (t < span.va || t >= span.end || span.end - t < thunkSize) return false;
        const uint32_t tAt = span.OffsetOf(t);
        const uint32_t low = ReadLE32(data + tAt);
        const uint32_t high = pe32Plus ? ReadLE32(data + tAt + 4) : 0;
        if (low == 0 && high == 0) break;
        if (((pe32Plus ? high : low) & 0x80000000u) != 0) continue;   // by ordinal
        if (high != 0 || !addName(tAt, low, 2)) return false;
      }
    }
  }
}

// True when a base relocation's address points into RVAs [from, to), or the
// relocations cannot be read: the relocations list every stored address.
bool AddressPointsInto(const uint8_t* data, const PeView& v, uint32_t from, uint32_t to) {
  const uint8_t* base = data + v.optionalOffset + (v.pe32Plus ? 24 : 28);
  const uint64_t imageBase =
      ReadLE32(base) | (v.pe32Plus ? static_cast<uint64_t>(ReadLE32(base + 4)) << 32 : 0);
  const uint8_t* directory = data + v.directoryOffset + 5 * 8;
  const uint32_t relocSize = ReadLE32(directory + 4);
  const uint32_t relocAt = RvaToOffset(data, v, ReadLE32(directory), relocSize);
  if (relocSize != 0 && relocAt == 0) return true;
  for (uint32_t b = 0; b + 8 <= relocSize;) {
    const uint32_t page = ReadLE32(data + relocAt + b), blockSize = ReadLE32(data + relocAt + b + 4);
    if (blockSize < 8 || blockSize > relocSize - b) return true;
    for (uint32_t e = 8; e + 2 <= blockSize; e += 2) {
      const uint16_t entry = ReadLE16(data + relocAt + b + e);
      const uint32_t type = entry >> 12, width = type == 3 ? 4 : type == 10 ? 8 : 0;
      if (type == 0) continue;   // padding
      const uint32_t fieldAt = width == 0 ? 0 : RvaToOffset(data, v, page + (entry & 0xFFF), width);
      if (fieldAt == 0) return true;
      uint64_t target = ReadLE32(data + fieldAt);
      if (width == 8) target |= static_cast<uint64_t>(ReadLE32(data + fieldAt + 4)) << 32;
      if (target >= imageBase + from && target < imageBase + to) return true;
    }
    b += blockSize;
  }
  return false;
}

}  // namespace

bool FoldTrailingImportNames(std::vector<uint8_t>& image) {
  uint8_t* data = image.data();
  const size_t size = image.size();
  PeView v;
  // Directories up to the debug directory are read.
  if (size < kDosHeaderSize || size > 0x7FFFFFFF ||
      !ReadPeView(data, size, ReadLE32(data + 0x3C), &v, nullptr) || v.directoryCount < 7 ||
      v.sectionCount < 2 || !IsPowerOfTwo(v.fileAlignment))
    return false;
  const uint8_t* directory = data + v.directoryOffset;
  // File offsets would move: a symbol table, a certificate or debug data must
  // come later.
  if (ReadLE32(data + v.peOffset + 4 + 8) != 0) return false;
  if (ReadLE32(directory + 4 * 8) != 0 || ReadLE32(directory + 6 * 8) != 0) return false;
  const uint32_t importRva = ReadLE32(directory + 8);
  if (importRva == 0) return false;

  // The section holding the import directory; the names must end it.
  uint32_t si = v.sectionCount;
  for (uint32_t i = 0; i < v.sectionCount; ++i) {
    const uint8_t* s = data + v.sectionTable + i * kSectionHeaderSize;
    uint32_t va = ReadLE32(s + 12), vsize = ReadLE32(s + 8);
    if (importRva >= va && importRva - va < vsize) si = i;
  }
  const uint32_t lastIndex = v.sectionCount - 1;
  if (si >= lastIndex) return false;
  uint8_t* sec = data + v.sectionTable + si * kSectionHeaderSize;
  uint8_t* last = data + v.sectionTable + lastIndex * kSectionHeaderSize;
  const uint32_t va = ReadLE32(sec + 12), vsize = ReadLE32(sec + 8);
  const uint32_t raw = ReadLE32(sec + 16), ptr = ReadLE32(sec + 20);
  if (vsize > raw || ptr == 0 || ptr > size || raw > size - ptr) return false;
  const SectionSpan span{va, va + vsize, ptr};

  std::vector<NameField> fields;
  uint32_t descriptorsEnd = importRva;
  if (!CollectImportNames(data, span, importRva, v.pe32Plus, &fields, &descriptorsEnd))
    return false;

  // The cut: the last name start that takes the section down one unit.
  const uint32_t keepAtMost = raw - v.fileAlignment;   // bytes left in the section
  uint32_t cut = 0;
  for (const NameField& f : fields)
    if (f.rva - va <= keepAtMost && f.rva > cut) cut = f.rva;
  if (cut == 0) return false;
  const uint32_t moved = span.end - cut;

  // The room after the last section's data, which ends the file.
  const uint32_t lastVa = ReadLE32(last + 12), lastVsize = ReadLE32(last + 8);
  const uint32_t lastRaw = ReadLE32(last + 16), lastPtr = ReadLE32(last + 20);
  const uint32_t newRva = lastVa + AlignUp(lastVsize, 2);
  if (lastPtr <= ptr || lastPtr > size || size - lastPtr != lastRaw || lastVsize > lastRaw ||
      AlignUp(lastVsize, 2) + moved > lastRaw || (ReadLE32(last + 36) & 0x20000000u) != 0)
    return false;

  // Nothing else lives after the cut: each byte there is part of a name, or
  // zero padding, and no name before the cut runs into it.
  std::vector<uint8_t> covered(moved, 0);
  for (const NameField& f : fields) {
    if (f.rva < cut && f.end > cut) return false;
    if (f.rva >= cut) memset(&covered[f.rva - cut], 1, f.end - f.rva);
  }
  for (uint32_t i = 0; i < moved; ++i)
    if (!covered[i] && data[span.OffsetOf(cut + i)] != 0) return false;
  // The linker gives the import directory the whole section as its size;
  // it is the descriptors, and is said so.
  if (descriptorsEnd > cut) return false;
  for (uint32_t d = 0; d < v.directoryCount; ++d) {
    const uint32_t rva = ReadLE32(directory + d * 8);
    const uint32_t length = d == 1 ? descriptorsEnd - importRva : ReadLE32(directory + d * 8 + 4);
    if (rva != 0 && rva < span.end && rva + length > cut) return false;
  }
  if (AddressPointsInto(data, v, cut, span.end)) return false;

  memcpy(data + lastPtr + (newRva - lastVa), data + span.OffsetOf(cut), moved);
  WriteLE32(data + v.directoryOffset + 8 + 4, descriptorsEnd - importRva);
  for (const NameField& f : fields)
    if (f.rva >= cut) WriteLE32(data + f.at, f.rva - cut + newRva);
  WriteLE32(last + 8, newRva - lastVa + moved);
  WriteLE32(last + 36, ReadLE32(last + 36) & ~0x02000000u);   // kept after loading
  const uint32_t newRaw = AlignUp(cut - va, v.fileAlignment), saved = raw - newRaw;
  WriteLE32(sec + 8, cut - va);
  WriteLE32(sec + 16, newRaw);
  for (uint32_t i = si + 1; i < v.sectionCount; ++i) {
    uint8_t* s = data + v.sectionTable + i * kSectionHeaderSize;
    if (ReadLE32(s + 20) != 0) WriteLE32(s + 20, ReadLE32(s + 20) - saved);
  }
  uint8_t* opt = data + v.optionalOffset;
  WriteLE32(opt + 8, ReadLE32(opt + 8) - saved);   // SizeOfInitializedData
  const uint32_t imageEnd = AlignUp(newRva + moved, v.sectionAlignment);
  if (imageEnd > ReadLE32(opt + 56)) WriteLE32(opt + 56, imageEnd);   // SizeOfImage
  image.erase(image.begin() + ptr + newRaw, image.begin() + ptr + raw);
  UpdatePeChecksum(image);
  return true;
}

bool CheckStubLayout(const uint8_t* data, size_t size, std::string* why, bool allowWrittenBlock) {
  if (size < kPeOffset) return Fail(why, "file too short for the stub layout");
  std::vector<uint8_t> header = MsDosHeader();
  if (memcmp(data, header.data(), header.size()) != 0)
    return Fail(why, "MS-DOS header differs from the stub layout");
  for (uint32_t i = kDosHeaderSize; i < kConfigOffset; ++i)
    if (data[i] != 0) return Fail(why, "bytes between the MS-DOS header and 512 are not zero");
  if (!allowWrittenBlock)
    for (uint32_t i = kConfigOffset; i < kConfigOffset + kConfigSize; ++i)
      if (data[i] != 0) return Fail(why, "configuration block is not empty");
  for (uint32_t i = kConfigOffset + kConfigSize; i < kRealModeOffset; ++i)
    if (data[i] != 0) return Fail(why, "bytes after the configuration block are not zero");
  std::vector<uint8_t> program = RealModeProgram();
  if (memcmp(data + kRealModeOffset, program.data(), program.size()) != 0)
    return Fail(why, "real-mode program differs from the stub layout");
  PeView v;
  if (!ReadPeView(data, size, kPeOffset, &v, why)) return false;
  if (v.sizeOfHeaders < v.headersEnd || v.sizeOfHeaders > size)
    return Fail(why, "invalid SizeOfHeaders");
  for (uint32_t i = 0; i < v.sectionCount; ++i) {
    const uint8_t* s = data + v.sectionTable + i * kSectionHeaderSize;
    uint32_t raw = ReadLE32(s + 16), ptr = ReadLE32(s + 20);
    if (raw != 0 && (ptr < v.sizeOfHeaders || ptr > size || raw > size - ptr))
      return Fail(why, "section data outside the file");
  }
  return true;
}

}  // namespace stublayout
