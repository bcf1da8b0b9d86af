// Makes self-extractors for the end-to-end tests that the builder would not
// make: damaged headers, an archive offset past the end, a wrong checksum, or a
// foreign archive appended to the stub as it is. Entry headers come from the
// one level-2 writer (tools/sfxbuild/lzh_writer.h).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace e2emake {

// How one entry is spoiled on purpose.
struct Damage {
  bool headerCrc = false;        // a header CRC that does not match
  bool noCrc = false;            // the header-CRC extension left out
  std::string method;            // another method id, e.g. "-lh9-"
  bool packedAbsolute = false;   // packedSize is the value to write
  int64_t packedSize = 0;        // else: added to the true compressed size
  bool fileCrc = false;          // a file CRC one bit off (the data stay right)
  bool originalGiven = false;    // an original size other than the data's
  uint32_t originalSize = 0;
};

// kPacked: the data compressed with -lh7- by the builder's encoder.
enum ItemKind { kStored, kDirectory, kRawBytes, kPacked };

struct Item {
  ItemKind kind = kStored;
  std::string name;              // Shift-JIS, '/'-separated
  std::vector<uint8_t> data;     // stored data, or the raw bytes
  uint32_t time = 0;
  uint16_t attribute = 0x20;
  Damage damage;
};

struct Plan {
  std::vector<uint8_t> stub;
  // Block fields; texts are Shift-JIS and must fit their fields.
  std::string windowTitle, installTitle, installFolder, command;
  uint8_t flags = 0;
  uint8_t restoreAttributes = 0;
  // The archive offset: the stub's size plus offsetDelta, or offsetValue.
  int64_t offsetDelta = 0;
  bool offsetAbsolute = false;
  uint32_t offsetValue = 0;
  // Or: the finished file's size plus offsetPastEnd (0 = exactly at the end).
  bool offsetFromEnd = false;
  uint32_t offsetPastEnd = 0;
  // The checksum ahead of the archive: none, the right one, or given.
  enum { kNoChecksum, kAutoChecksum, kGivenChecksum } checksum = kNoChecksum;
  uint16_t checksumXor = 0;      // flipped in the right checksum
  uint16_t checksumValue = 0;
  bool endMark = true;           // a zero header size after the items
  std::vector<Item> items;
};

// The file CRC that goes into the archive checksum for an item; raw bytes
// contribute nothing.
uint16_t ItemFileCrc(const Item& item);

// The whole self-extractor; false with a reason when the plan cannot be made.
bool Build(const Plan& plan, std::vector<uint8_t>* out, std::string* error);

// Reads the command line of the e2emake program into a plan (see main).
bool ParseArguments(const std::vector<std::string>& args, Plan* plan, std::string* output,
                    std::string* error);

}  // namespace e2emake
