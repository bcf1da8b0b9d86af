// Entry headers of a plain LZH archive, of levels 0, 1 and 2, read on the
// host: for listing, testing and extracting archives that are no
// self-extractor, and for turning one into a self-extractor (whose stub reads
// level 2 only). The data stay where they are; an entry says where.
//
// Layouts (little-endian):
//   level 0 and 1: 0 header size (1, the bytes after the first two)
//                  1 checksum (1, sum of those bytes)  2 method (5)
//                  7 compressed size (4; level 1: with the extended headers)
//                  11 original size (4)  15 MS-DOS time (4)  19 attribute (1;
//                  level 1: 0x20)  20 level (1)  21 name length (1)  22 name,
//                  then the file CRC (2); level 0 may add more bytes up to the
//                  header size; level 1 adds an OS id (1) and the size of the
//                  first extended header (2), whose chain follows the header.
//   level 2:       as the self-extractor's (lzh_writer.h).
// Names of levels 0 and 1 separate folders with "\" or 0xFF; the directory
// extension (0x02) separates them with 0xFF. Names come back Shift-JIS with
// "/" separators; a folder entry's name ends in "/".
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace lzhr {

struct Entry {
  std::string method;          // "-lh5-" etc.
  uint64_t headerOffset = 0;
  uint64_t dataOffset = 0;
  uint32_t packedSize = 0;     // the data alone, extended headers left out
  uint32_t originalSize = 0;
  uint32_t time = 0;           // seconds since 1970 (level 0/1 MS-DOS times taken as UTC)
  uint16_t attribute = 0x20;
  uint16_t fileCrc = 0;
  bool hasCrc = true;
  int level = 2;
  std::string name;            // Shift-JIS, '/'-separated; folders end in '/'
};

// True when the bytes at the start look like an LZH header (a method "-l?x-").
bool LooksLikeArchive(const uint8_t* data, size_t size);

// Every entry up to the end mark (a header size of 0) or the file's end, of a
// plain LZH archive or of the archive a self-extractor holds (from the offset
// its configuration block names); false with a reason on a file that is
// neither, a damaged header, or data that run past the end. *selfExtractor,
// when asked, says which it was.
bool ReadArchive(const std::string& path, std::vector<Entry>* entries, std::string* why,
                 bool* selfExtractor = nullptr);

}  // namespace lzhr
