// The stub's own file layout. The linker cannot write the MS-DOS part that a
// self-extractor needs (the configuration block at 512, the real-mode program
// at 0x460, the PE headers at 0x4D0), so this step rewrites the header area of
// the linked, stripped stub; the builder refuses a stub without it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/context.h"   // the configuration block's place and size

namespace stublayout {

constexpr uint32_t kRealModeOffset = 0x460;   // real-mode program and its message
constexpr uint32_t kRealModeSize = 112;
constexpr uint32_t kPeOffset = 0x4D0;         // PE signature
constexpr size_t kMarkerOffset = 0x24;
constexpr size_t kMarkerSize = 10;

// The 10-byte marker at MS-DOS header offset 0x24: names the kind of stub.
extern const char kMarker[kMarkerSize + 1];

// The 64-byte MS-DOS header and the 112-byte real-mode program, as written.
std::vector<uint8_t> MsDosHeader();
std::vector<uint8_t> RealModeProgram();

// Rewrites a linked PE image in place: the MS-DOS area up to 0x4D0, the PE
// headers moved to 0x4D0, every file offset shifted to follow, SizeOfHeaders
// updated, the checksum recomputed. Returns false (image unchanged, reason in
// *why when given) when the input is no PE image this step can move safely.
bool ApplyStubLayout(std::vector<uint8_t>& image, std::string* why = nullptr);

// Every section costs at least one file-alignment unit. When the last
// section holds nothing but the export directory and the section before it
// has room after its data, the exports move there (their own addresses
// follow) and the last section goes: one unit less. Returns false (image
// unchanged) when the image is not so laid out; true when folded.
bool FoldTrailingExports(std::vector<uint8_t>& image);

// The same for the import names (the library names and the hint/name
// entries), when they end the import section: the fewest of them that take
// that section down one unit move into the room after the last section's data,
// and the fields naming them follow. Loaders find every name by its address,
// wherever it lies. Returns false (image unchanged) when the names do not end
// the section, anything else refers to them, or there is no room.
bool FoldTrailingImportNames(std::vector<uint8_t>& image);

// True when the bytes carry the layout: the MS-DOS header, the zero areas,
// the real-mode program and a PE signature at 0x4D0 whose headers and sections
// fit the file. A fresh stub has an all-zero configuration block; a built
// self-extractor (allowWrittenBlock) has it written.
bool CheckStubLayout(const uint8_t* data, size_t size, std::string* why = nullptr,
                     bool allowWrittenBlock = false);

// The PE checksum over the whole file (the checksum field itself counted as
// zero); the builder calls UpdatePeChecksum after writing the block and
// appending the archive. Both need a valid PE header offset.
uint32_t ComputePeChecksum(const uint8_t* data, size_t size, size_t checksumOffset);
bool UpdatePeChecksum(std::vector<uint8_t>& image);

// The file offset of the CheckSum field, from the image's first bytes (its
// headers); 0 when they hold no usable PE headers.
size_t PeChecksumOffset(const uint8_t* data, size_t size);

// The same checksum summed part by part, for a file too large to hold: every
// part starts at an even offset, and the parts cover the file in order.
class PeChecksum {
 public:
  explicit PeChecksum(size_t checksumOffset) : checksumOffset_(checksumOffset) {}
  void Add(uint64_t at, const uint8_t* data, size_t size);
  uint32_t Finish(uint64_t fileSize) const;

 private:
  size_t checksumOffset_;
  uint64_t sum_ = 0;
};

}  // namespace stublayout
