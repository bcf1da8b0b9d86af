// Level-2 LZH entry headers, written byte for byte. One writer serves the
// builder, the unit tests and the end-to-end tests, so it can also write the
// damaged headers those tests need. It shares only the format's names, the
// little-endian helpers and the CRC tables with the stub's code.
//
// Layout written (little-endian, offsets from the first header byte):
//   0  total header size (2)      2  method id (5)         7  compressed size (4)
//   11 original size (4)          15 time stamp, Unix (4)  19 attribute (1)
//   20 header level (1)           21 file CRC (2)          23 OS id (1)
//   24 size of the first extended header (2), then the chain: each extended
//   header is [type][data][size of the next one (2)]; its size counts all
//   three parts; a next size of 0 ends the chain.
//
// Typical use:
//
//   lzhw::EntryInfo info;
//   info.method = "-lh5-";
//   info.packedSize = packed.size();  info.originalSize = data.size();
//   info.fileCrc = lzhw::Crc16(data.data(), data.size());
//   info.fileName = "a.txt";          // Shift-JIS bytes as stored
//   info.directory = "doc/img";       // '/'-separated; written as doc FF img FF
//   lzhw::EntryHeaderPlan desc = lzhw::MakeHeaderPlan(info);
//   // ... optionally damage desc here (see the fields below) ...
//   std::vector<uint8_t> archive;
//   lzhw::AppendEntry(archive, desc, packed.data(), packed.size());
//   lzhw::AppendEndMark(archive);     // a zero header size
//
// The standard chain of MakeHeaderPlan is: 0x00 header CRC, 0x01 file name
// (only when non-empty), 0x02 directory name (only when non-empty), 0x40
// attribute. WriteEntryHeader fills the last 0x00 extension that has 2 data
// bytes (a reader takes the last one) with the CRC-16 of the whole header,
// those two bytes zeroed, unless headerCrcOverride says otherwise; any earlier
// 0x00 extension keeps the data given.
//
// Damaged headers for tests: edit the EntryHeaderPlan before writing it:
//   - wrong CRC:             desc.headerCrcOverride = 0x1234;
//   - no CRC extension:      lzhw::RemoveExtensions(desc, kExtHeaderCrc);
//   - bad method:            desc.method = "-lh3-";  (any 5 bytes; shorter is NUL-padded)
//   - sizes of your choice:  desc.packedSize / desc.originalSize, any value;
//   - extra or odd extended headers: push_back onto desc.extensions (any type,
//     any data; announcedSize writes a size that disagrees with the data, e.g.
//     below 3 or running past the header);
//   - total size that lies: desc.totalSizeOverride;
//   - raw bytes inside the header after the chain's end mark: desc.trailing
//     (counted in the total size and the CRC);
//   - raw bytes anywhere in the archive: append to the byte vector yourself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/lzh_format.h"

namespace lzhw {

// CRC-16 of the format (reflected 0x8005, initial value given, no final XOR).
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0);

struct ExtendedHeader {
  uint8_t type = 0;
  std::vector<uint8_t> data;
  // -1: the true size (3 + data.size()). Otherwise this value is written as the
  // size that announces this header (the data bytes are written all the same).
  int32_t announcedSize = -1;
};

struct EntryHeaderPlan {
  std::string method = "-lh0-";   // first 5 bytes written; a shorter text is NUL-padded
  uint32_t packedSize = 0;
  uint32_t originalSize = 0;
  uint32_t time = 0;               // seconds since 1970-01-01 00:00:00
  uint8_t attribute = kDosArchive; // header byte 19
  uint8_t level = 2;
  uint16_t fileCrc = 0;
  uint8_t osId = 'M';
  std::vector<ExtendedHeader> extensions;  // in file order
  int32_t headerCrcOverride = -1;  // 0..65535: written instead of the computed CRC
  int32_t totalSizeOverride = -1;  // 0..65535: written instead of the true total size
  std::vector<uint8_t> trailing;   // raw bytes after the chain, inside the header
};

// What an ordinary entry needs; MakeHeaderPlan turns it into the standard chain.
struct EntryInfo {
  std::string method = "-lh0-";
  uint32_t packedSize = 0;
  uint32_t originalSize = 0;
  uint32_t time = 0;
  uint16_t attribute = kDosArchive; // byte 19 gets the low 8 bits, 0x40 all 16
  uint16_t fileCrc = 0;
  uint8_t osId = 'M';
  std::string fileName;             // bytes as stored; empty: no 0x01 extension
  std::string directory;            // '/'-separated bytes; empty: no 0x02 extension
};

// "doc/img" or "doc/img/" -> "doc\xFFimg\xFF". Empty components are dropped.
// Only the byte '/' separates, so Shift-JIS second bytes pass unchanged.
std::string DirectoryField(const std::string& path);

EntryHeaderPlan MakeHeaderPlan(const EntryInfo& info);

// Removes every extended header of this type (e.g. the header CRC).
void RemoveExtensions(EntryHeaderPlan& desc, uint8_t type);

// The header bytes. A header longer than 65535 bytes cannot be expressed: the
// result is then empty.
std::vector<uint8_t> WriteEntryHeader(const EntryHeaderPlan& desc);

// Header followed by the entry's data. Returns false (and appends nothing) when
// the header cannot be written.
bool AppendEntry(std::vector<uint8_t>& archive, const EntryHeaderPlan& desc,
                 const uint8_t* data, size_t size);

// The end of the archive: a whole zero header-size field. One zero byte ends
// the walk only while it is the file's last byte; data appended later (a code
// signature) would make it the low half of a size and the walk would read on.
void AppendEndMark(std::vector<uint8_t>& archive);

}  // namespace lzhw
