#include "lzh_writer.h"

#include "core/little_endian.h"
#include "decode/decode.h"

namespace lzhw {
namespace {

// The stub's own CRC over tables of the builder's, shared by its threads.
struct WriterCrcTables {
  CrcTables tables;
  WriterCrcTables() { FillCrcTables(&tables, kCrcPolynomial); }
};

uint32_t AnnouncedSize(const ExtendedHeader& e) {
  if (e.announcedSize >= 0) return static_cast<uint32_t>(e.announcedSize) & 0xFFFF;
  return static_cast<uint32_t>(3 + e.data.size());
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc) {
  static const WriterCrcTables crcTables;
  return FoldCrc(&crcTables.tables, crc, data, size);
}


std::string DirectoryField(const std::string& path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      out.append(path, start, end - start);
      out.push_back('\xFF');
    }
    start = end + 1;
  }
  return out;
}

EntryHeaderPlan MakeHeaderPlan(const EntryInfo& info) {
  EntryHeaderPlan desc;
  desc.method = info.method;
  desc.packedSize = info.packedSize;
  desc.originalSize = info.originalSize;
  desc.time = info.time;
  desc.attribute = static_cast<uint8_t>(info.attribute);
  desc.fileCrc = info.fileCrc;
  desc.osId = info.osId;
  desc.extensions.push_back({kExtHeaderCrc, {0, 0}, -1});
  if (!info.fileName.empty())
    desc.extensions.push_back(
        {kExtFileName, std::vector<uint8_t>(info.fileName.begin(), info.fileName.end()), -1});
  std::string dir = DirectoryField(info.directory);
  if (!dir.empty())
    desc.extensions.push_back({kExtDirectory, std::vector<uint8_t>(dir.begin(), dir.end()), -1});
  desc.extensions.push_back({kExtAttribute,
                             {static_cast<uint8_t>(info.attribute),
                              static_cast<uint8_t>(info.attribute >> 8)},
                             -1});
  return desc;
}

void RemoveExtensions(EntryHeaderPlan& desc, uint8_t type) {
  std::vector<ExtendedHeader> kept;
  for (const ExtendedHeader& e : desc.extensions)
    if (e.type != type) kept.push_back(e);
  desc.extensions.swap(kept);
}

std::vector<uint8_t> WriteEntryHeader(const EntryHeaderPlan& desc) {
  std::vector<uint8_t> h;
  AppendLE16(h, 0);  // total size, patched below
  for (size_t i = 0; i < 5; ++i)
    h.push_back(i < desc.method.size() ? static_cast<uint8_t>(desc.method[i]) : 0);
  AppendLE32(h, desc.packedSize);
  AppendLE32(h, desc.originalSize);
  AppendLE32(h, desc.time);
  h.push_back(desc.attribute);
  h.push_back(desc.level);
  AppendLE16(h, desc.fileCrc);
  h.push_back(desc.osId);
  AppendLE16(h, desc.extensions.empty() ? 0 : AnnouncedSize(desc.extensions[0]));

  // Only the last CRC extension is filled, as a reader takes the last one.
  size_t crcField = 0;
  for (size_t i = 0; i < desc.extensions.size(); ++i) {
    const ExtendedHeader& e = desc.extensions[i];
    h.push_back(e.type);
    if (e.type == kExtHeaderCrc && e.data.size() == 2) crcField = h.size();
    h.insert(h.end(), e.data.begin(), e.data.end());
    AppendLE16(h, i + 1 < desc.extensions.size() ? AnnouncedSize(desc.extensions[i + 1]) : 0);
  }
  h.insert(h.end(), desc.trailing.begin(), desc.trailing.end());
  if (h.size() > 0xFFFF) return {};

  uint32_t total = desc.totalSizeOverride >= 0 ? static_cast<uint32_t>(desc.totalSizeOverride)
                                               : static_cast<uint32_t>(h.size());
  h[0] = static_cast<uint8_t>(total);
  h[1] = static_cast<uint8_t>(total >> 8);

  if (crcField != 0) {
    h[crcField] = 0;
    h[crcField + 1] = 0;
    uint16_t crc = Crc16(h.data(), h.size());
    if (desc.headerCrcOverride >= 0) crc = static_cast<uint16_t>(desc.headerCrcOverride);
    h[crcField] = static_cast<uint8_t>(crc);
    h[crcField + 1] = static_cast<uint8_t>(crc >> 8);
  }
  return h;
}

bool AppendEntry(std::vector<uint8_t>& archive, const EntryHeaderPlan& desc, const uint8_t* data,
                 size_t size) {
  std::vector<uint8_t> h = WriteEntryHeader(desc);
  if (h.empty()) return false;
  archive.insert(archive.end(), h.begin(), h.end());
  if (size != 0) archive.insert(archive.end(), data, data + size);
  return true;
}

void AppendEndMark(std::vector<uint8_t>& archive) { archive.insert(archive.end(), 2, 0); }

}  // namespace lzhw
