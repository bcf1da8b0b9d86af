// The run's state: one zero-filled record for the whole run, plus the few
// process-wide values that live outside it. Every fixed-capacity text here is
// NUL-terminated and is never written past its capacity.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/lzh_format.h"
#include "core/handles.h"

// Capacities of the texts (terminator included).
enum : uint32_t {
  kTitleCap = 41,
  kInstallFolderCap = 256,
  kCommandCap = 259,
  kOwnPathCap = 260,
  kEntryNameCap = 260,
  kDestFolderCap = 256,
  kOutputPathCap = 516,
  kScriptCap = 4096,
  kMessageCap = 1024,
  kBoxTitleCap = 80,
  kExtensionCap = 20,
  kClassDescriptionCap = 20,
  kProgramPathCap = 260,
  kClassNameCap = 128,
  kGroupNameCap = 80,
  kItemNameCap = 80,
  kIconPathCap = 260,
  kFormattedCap = 1024,
};

enum : uint32_t {
  kConfigOffset = 512,    // file offset of the configuration block
  kConfigSize = 603,
  kReadBufferSize = 16384,
  kWindowSize = 65536,
  kPosLenCap = 128,
  kNodeCount = 2 * kCharCodeCount - 1,
  kCharTableBits = 12,
  kPosTableBits = 8,
};

// flags bits of the configuration block
enum : uint8_t {
  kFlagAutoStart = 1,
  kFlagOverwrite = 2,
  kFlagChecksum = 4,
};

#pragma pack(push, 1)
// The configuration block, byte for byte as it stands at file offset 512.
struct SfxConfig {
  uint32_t archiveOffset;            // little-endian in the file; the stub runs on x86
  char windowTitle[kTitleCap];
  char installTitle[kTitleCap];
  char installFolder[kInstallFolderCap];
  char command[kCommandCap];
  uint8_t flags;
  uint8_t restoreAttributes;
};
#pragma pack(pop)
static_assert(sizeof(SfxConfig) == kConfigSize, "configuration block is 603 bytes");
static_assert(offsetof(SfxConfig, installFolder) == 86, "block layout");
static_assert(offsetof(SfxConfig, command) == 342, "block layout");
static_assert(offsetof(SfxConfig, flags) == 601, "block layout");

enum MemoryTarget : uint8_t { kMemoryNone = 0, kMemoryNotice = 1, kMemoryScript = 2 };

// How an entry's data came out of the codec (the first reason stands).
enum DecodeResult : uint8_t {
  kDecodeDone = 0,      // the original size was produced
  kDecodeOverrun = 1,   // a symbol took the zero bits after the entry's data
  kDecodeBadTable = 2,  // a block's code lengths form no valid code
  kDecodeReadError = 3, // the archive could not be read
  kDecodeStopped = 4,   // the sink asked to stop (a write error, Cancel)
};

// Where the codec hands its output: count bytes (at most 64 KB), with the
// progress count that goes with them. Returns 0 to stop the entry.
using OutputSink = int (*)(const uint8_t* data, uint32_t count, uint32_t done);

// The single values come first and the buffers after them: the first 128
// bytes of the record are reached with one-byte displacements, which keeps
// the stub's code small. The order of the fields has no other meaning.
struct ExtractContext {
  // --- run and walk state ---
  int32_t aborted;
  WindowHandle dialogWindow;
  FileHandle archiveHandle;
  uint32_t archiveSize;
  FileHandle outputHandle;           // kMemoryMarker: the sink fills a text buffer
  MemoryTarget memoryTarget;
  uint16_t storedChecksum;

  // --- CRC ---
  uint16_t runningCrc;

  // --- current entry header ---
  uint8_t* headerBuffer;
  uint16_t headerSize;               // total header size of headerBuffer
  uint8_t* headerCrcField;
  uint16_t headerCrc;
  const uint8_t* directoryName;
  uint16_t directoryNameLength;
  const uint8_t* fileName;
  uint16_t fileNameLength;
  uint16_t attribute;

  // --- bit input ---
  uint16_t bitBuffer;
  uint8_t subBitBuffer;
  uint8_t bitCount;
  uint32_t packedLeft;
  uint32_t readIndex;
  uint16_t posCodeCount;
  uint16_t posCountBits;
  // Zero bits fed after the entry's data; a symbol that takes one of them
  // ends the entry as an overrun.
  uint32_t tailBits;
  DecodeResult decodeResult;
  OutputSink sink;

  // --- Huffman tables ---
  // Set when the block's lengths for that table were all zero: the table was
  // left as it was, so a lookup in it would meet another block's entries.
  uint8_t charTableEmpty;
  uint8_t posTableEmpty;

  // --- block decoder ---
  uint32_t originalSize;
  uint32_t decodedCount;
  uint16_t blockCodesLeft;

  // --- main dialog ---
  int32_t groupChecked;
  int32_t classChecked;
  int32_t extracting;
  int32_t cancelRequested;

  // --- configuration block ---
  SfxConfig config;

  // --- texts ---
  char ownPath[kOwnPathCap];
  char entryName[kEntryNameCap];
  char destFolder[kDestFolderCap];
  char outputPath[kOutputPathCap];
  char scriptBuffer[kScriptCap];
  char messageText[kMessageCap];

  // --- CRC tables ---
  uint16_t crcTable[256];
  // crcSliceTable[k][i]: the CRC of byte i followed by k + 1 zero bytes, so that
  // UpdateCrc can fold eight bytes per step. Derived from crcTable.
  uint16_t crcSliceTable[7][256];

  // --- read buffer ---
  uint8_t readBuffer[kReadBufferSize];

  // --- Huffman tables ---
  uint8_t charLen[kCharCodeCount];
  uint8_t posLen[kPosLenCap];
  uint16_t charTable[1u << kCharTableBits];
  uint16_t posTable[1u << kPosTableBits];
  uint16_t leftNode[kNodeCount];
  uint16_t rightNode[kNodeCount];

  // --- window ---
  uint8_t window[kWindowSize];

  // --- main dialog ---
  char groupBoxTitle[kBoxTitleCap];
  char classBoxTitle[kBoxTitleCap];

  // --- setup actions ---
  char extension[kExtensionCap];
  char classDescription[kClassDescriptionCap];
  char programPath[kProgramPathCap];
  char className[kClassNameCap];
  char groupName[kGroupNameCap];
  char itemName[kItemNameCap];
  char iconPath[kIconPathCap];
  char formattedText[kFormattedCap];

  // --- progress ---
  // When the percentage was last drawn; the walk sets it back for each entry,
  // so that an entry's first report is drawn.
  uint32_t progressShownAt;
};

// The one context of the run; null before start-up allocated it.
extern ExtractContext* context;

// Process-wide state outside the record.
extern int isWin32s;
// While the options are read: which of -n and -n- came last (kAutoStartOff
// for neither); after start-up only kAutoStartOff or kAutoStartOn.
enum : int { kAutoStartOff = 0, kAutoStartOn = 1, kOptionAutoStart = 11, kOptionNoAutoStart = 12 };
extern int autoStart;
extern int skipNotNewer;
extern int overwriteWithoutAsking;
extern int destinationGiven;
extern int destinationRefused;     // the command line named a folder too long to take
extern InstanceHandle instanceHandle;
extern uint16_t checksumAccumulator;
extern IconHandle dialogIcon;
// The Program Manager conversation.
enum : int { kDdeIdle = 0, kDdeInitiating = 1, kDdeExecuting = 2, kDdeFinished = -1 };
extern int ddeState;
extern WindowHandle ddeServer;

inline bool IsSjisLeadByte(uint8_t b) {
  return (b >= 0x80 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFD);
}

// The bytes of the character at p: a lead byte and the byte after it, or one
// byte (a lead byte just before the terminator stands alone). Every scan of a
// name or a path steps with it, so that a second byte is never taken for
// anything else.
inline uint32_t CharLength(const char* p) {
  return IsSjisLeadByte(static_cast<uint8_t>(p[0])) && p[1] != '\0' ? 2 : 1;
}
