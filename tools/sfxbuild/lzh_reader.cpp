#include "lzh_reader.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "core/context.h"
#include "core/little_endian.h"
#include "fail.h"
#include "host_os.h"

namespace lzhr {
namespace {

// Days from 1970-01-01 to a date of the Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// An MS-DOS date and time as seconds since 1970, read as UTC.
uint32_t FromDosTime(uint32_t dos) {
  unsigned month = (dos >> 21) & 0x0F, day = (dos >> 16) & 0x1F;
  if (month < 1 || month > 12 || day == 0) return 0;
  int64_t days = DaysFromCivil(1980 + ((dos >> 25) & 0x7F), month, day);
  return static_cast<uint32_t>(days * 86400 + ((dos >> 11) & 0x1F) * 3600 +
                               ((dos >> 5) & 0x3F) * 60 + (dos & 0x1F) * 2);
}

// Separators of a stored name: "\" and 0xFF outside double-byte characters.
std::string Slashed(const std::string& name) {
  std::string out = name;
  for (size_t i = 0; i < out.size(); i += CharLength(&out[i])) {
    uint8_t b = static_cast<uint8_t>(out[i]);
    if (CharLength(&out[i]) == 1 && (b == '\\' || b == 0xFF)) out[i] = '/';
  }
  return out;
}

}  // namespace

bool LooksLikeArchive(const uint8_t* data, size_t size) {
  return size >= 7 && data[2] == '-' && data[3] == 'l' && data[6] == '-';
}

// The bytes of the file from an offset: a header and what may follow it (a
// level-1 chain of extended headers), read as the walk reaches them, so that
// a listing or a test never holds the whole archive in memory. Most headers
// fit the small window; a longer one is read again through the large one.
constexpr size_t kSmallWindow = 4096;
constexpr size_t kLargeWindow = 1 << 20;

bool ReadArchive(const std::string& path, std::vector<Entry>* entries, std::string* why,
                 bool* selfExtractor) {
  entries->clear();
  hostos::FileInfo info;
  hostos::InputFile in;
  if (!hostos::Stat(path, &info, why) || !in.Open(path, why)) return false;
  const uint64_t fileSize = info.size;
  std::vector<uint8_t> data;
  auto readFrom = [&](uint64_t from, size_t window) {
    data.resize(static_cast<size_t>(std::min<uint64_t>(window, fileSize - from)));
    size_t got = 0;
    if (!in.ReadAt(from, data.data(), data.size(), &got, why)) return false;
    data.resize(got);
    return true;
  };
  uint64_t at = 0;
  if (!readFrom(0, kSmallWindow)) return false;
  // A self-extractor: the archive begins where its block says, after the
  // checksum when it has one.
  const bool sfx = data.size() >= kConfigOffset + kConfigSize && data[0] == 'M' && data[1] == 'Z';
  if (sfx) {
    at = ReadLE32(&data[kConfigOffset]);
    if (data[kConfigOffset + offsetof(SfxConfig, flags)] & kFlagChecksum) at += 2;
    if (at > fileSize) return Fail(why, path + ": the archive lies beyond the end of the file");
  }
  if (selfExtractor != nullptr) *selfExtractor = sfx;
  size_t window = kSmallWindow;
  while (at < fileSize) {
    if (!readFrom(at, window)) return false;
    if (data.empty() || data[0] == 0) break;   // the end mark
    if (entries->empty() && !LooksLikeArchive(data.data(), data.size()))
      return Fail(why, path + ": not an LZH archive or self-extractor");
    const size_t left = data.size();
    if (left < 22) return Fail(why, path + ": a header is cut off at " + std::to_string(at));
    const uint8_t* h = data.data();
    // The small window ended before the file did: what did not fit may be there.
    const bool shortWindow = window == kSmallWindow && left == kSmallWindow;
    Entry e;
    e.headerOffset = at;
    e.method.assign(reinterpret_cast<const char*>(h + kHeaderMethod), 5);
    e.originalSize = ReadLE32(h + kHeaderOriginalSize);
    e.level = h[kHeaderLevel];
    uint32_t packed = ReadLE32(h + kHeaderPackedSize);
    std::string file, dir;
    uint16_t attribute = h[kHeaderAttribute];
    uint32_t unixTime = 0;
    size_t headerEnd = 0;
    if (e.level == 0 || e.level == 1) {
      size_t total = size_t{h[0]} + 2;
      if (total < 24 || total > left) return Fail(why, path + ": a damaged header at " + std::to_string(at));
      size_t nameLength = h[21];
      if (22 + nameLength + 2 > total) return Fail(why, path + ": a damaged header at " + std::to_string(at));
      file.assign(reinterpret_cast<const char*>(h + 22), nameLength);
      e.fileCrc = ReadLE16(h + 22 + nameLength);
      e.time = FromDosTime(ReadLE32(h + kHeaderTime));
      headerEnd = total;
      if (e.level == 1) {
        if (22 + nameLength + 5 > total) return Fail(why, path + ": a damaged header at " + std::to_string(at));
        // The extended headers follow the header and count as compressed data.
        size_t chainBytes = 0;
        bool whole = WalkExtendedHeaders(
            data.data(), headerEnd - 2, data.size(),
            [&](uint8_t type, const uint8_t* body, unsigned length) {
              if (type == kExtFileName) file.assign(reinterpret_cast<const char*>(body), length);
              if (type == kExtDirectory) dir.assign(reinterpret_cast<const char*>(body), length);
              if (type == kExtUnixTime && length >= 4) unixTime = ReadLE32(body);
              chainBytes += length + 3;
            });
        if (!whole && shortWindow) {
          window = kLargeWindow;
          continue;
        }
        if (!whole) return Fail(why, path + ": a damaged extended header at " + std::to_string(at));
        if (chainBytes > packed) return Fail(why, path + ": a damaged header at " + std::to_string(at));
        packed -= static_cast<uint32_t>(chainBytes);
        headerEnd += chainBytes;
        attribute = kDosArchive;
      }
    } else if (e.level == 2) {
      size_t total = ReadLE16(h);
      if (total > left && shortWindow) {
        window = kLargeWindow;
        continue;
      }
      if (total < kHeaderFixedSize || total > left)
        return Fail(why, path + ": a damaged header at " + std::to_string(at));
      e.time = ReadLE32(h + kHeaderTime);
      e.fileCrc = ReadLE16(h + kHeaderFileCrc);
      bool whole = WalkExtendedHeaders(
          h, kHeaderFirstExtSize, total, [&](uint8_t type, const uint8_t* body, unsigned length) {
            if (type == kExtFileName) file.assign(reinterpret_cast<const char*>(body), length);
            if (type == kExtDirectory) dir.assign(reinterpret_cast<const char*>(body), length);
            if (type == kExtAttribute && length >= 2) attribute = ReadLE16(body);
          });
      if (!whole) return Fail(why, path + ": a damaged extended header at " + std::to_string(at));
      headerEnd = total;
    } else {
      return Fail(why, path + ": header level " + std::to_string(e.level) + " at " +
                           std::to_string(at) + " is unknown");
    }
    if (unixTime != 0) e.time = unixTime;
    e.attribute = attribute;
    e.packedSize = packed;
    e.dataOffset = at + headerEnd;
    if (e.dataOffset + packed > fileSize)
      return Fail(why, path + ": the data of an entry run past the end of the file");
    std::string name = Slashed(dir);
    if (!name.empty() && name.back() != '/') name += '/';
    name += Slashed(file);
    if (e.method == "-lhd-" && !name.empty() && name.back() != '/') name += '/';
    e.name = name;
    entries->push_back(e);
    at = e.dataOffset + packed;
    window = kSmallWindow;
  }
  return true;
}

}  // namespace lzhr
