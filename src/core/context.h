// The run's state: one zero-filled record for the whole run, plus the few
// process-wide values that live outside it. Every fixed-capacity text here is
// NUL-terminated and is never written past its capacity.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/codec_state.h"
#include "core/handles.h"
#include "core/lzh_format.h"

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
  // The destination folder's way: the block's folder, or the command line's
  // in its place (ReadOptions), is config.installFolder, which the dialog
  // proposes in its field; the chooser leaves its folder here and puts it in
  // the field. At OK the field is read into destFolder once, its quotes
  // removed and its length and code page checked (ReadDestFolder); the walk
  // joins it with each entry's name into outputPath (JoinDestPath), the path
  // the file is made at (PrepareEntry, CreateForWrite).
  char destFolder[kDestFolderCap];
  char outputPath[kOutputPathCap];
  char scriptBuffer[kScriptCap];
  char messageText[kMessageCap];

  // --- CRC tables (headers and output files) ---
  CrcTables crc;

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

  // --- the codec's own record: bit input, tables, window ---
  DecodeState codec;
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
