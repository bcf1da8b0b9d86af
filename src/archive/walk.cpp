// The walk over the archive appended to the program's own file: the scan pass
// (notice, setup script, checksum) and the extract pass (every ordinary entry
// into the destination folder).
#include "archive/archive.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "core/text.h"
#include "decode/decode.h"
#include "files/files.h"
#include "platform/platform.h"
#include "setup/setup.h"
#include "ui/messages.h"
#include "ui/texts.h"
#include "ui/ui.h"

SeekResult SeekArchive(uint64_t target) {
  if (target > context->archiveSize) return kSeekPastEnd;
  uint32_t reached = 0;
  if (!SeekFile(context->archiveHandle, static_cast<uint32_t>(target), &reached) ||
      reached != target) {
    return kSeekFailed;
  }
  return kSeekDone;
}

OpenResult OpenOwnArchive() {
  context->archiveHandle = OpenExistingForRead(context->ownPath);
  if (context->archiveHandle == 0) return kOpenFailed;
  uint32_t size = GetFileSizeOf(context->archiveHandle);
  if (size == 0xFFFFFFFFu) return kSizeUnknown;
  context->archiveSize = size;
  return kOpened;
}

void ReadStoredChecksum() {
  uint8_t bytes[2] = {0, 0};
  uint32_t got = 0;
  ReadFromFile(context->archiveHandle, bytes, 2, &got);
  context->storedChecksum = ReadLE16(bytes);
}

void RunEntryData() {
  context->runningCrc = 0;
  context->streamOverrun = 0;   // set only by the decoder: a stored copy must not see the last one
  context->readIndex = 0xFFFFFFFFu;
  // An empty or directory-typed special entry leaves an empty text, never the
  // text an earlier writer left in the buffer.
  if (context->memoryTarget == kMemoryNotice) context->messageText[0] = '\0';
  if (context->memoryTarget == kMemoryScript) context->scriptBuffer[0] = '\0';

  char digit = EntryMethodDigit();
  if (digit == '0') {
    CopyStored(static_cast<int32_t>(EntryOriginalSize()));
  } else if (digit >= '4' && digit <= '7') {
    DecodeEntry();
  }
}

namespace {

bool IsDirectoryEntry() { return EntryMethodDigit() == 'd'; }

// Moves the archive to an absolute position computed without wrapping; a
// position past the end of the file is missing data.
int MoveArchiveTo(uint64_t target) {
  SeekResult r = SeekArchive(target);
  if (r == kSeekPastEnd) return ReportMissingData();
  if (r == kSeekFailed) return ReportReadError();
  return 1;
}

// Runs the entry's data into the sink. The stored copy reads the original
// size and the bit input may leave padding unread, so when the data step did
// not end exactly where the entry's data ends, the archive is moved there:
// the next header is then read from its true place. Returns 0 (abort flag set)
// when that position cannot be reached.
int RunDataStep() {
  uint32_t dataStart = 0;
  int knowStart = GetFilePosition(context->archiveHandle, &dataStart);
  RunEntryData();
  if (!knowStart) return 1;
  uint64_t end = static_cast<uint64_t>(dataStart) + EntryPackedSize();
  uint32_t now = 0;
  if (GetFilePosition(context->archiveHandle, &now) && now == end) return 1;
  return MoveArchiveTo(end);
}

void CloseAndDeleteOutput() {
  CloseFile(context->outputHandle);
  context->outputHandle = 0;
  DeleteFileAt(context->outputPath);
}

// The steps of an ordinary entry before its data. Returns 1 to go on with the
// data step, 0 to go to the next entry, -1 to leave the loop.
int PrepareEntry(int longNameVolume, uint32_t* newTime) {
  char* path = context->outputPath;
  context->outputHandle = 0;
  JoinDestPath(path, context->destFolder, context->entryName);
  NormaliseSeparators(path, '/');
  SanitisePath(path[0] != '\0' && path[1] == ':' ? path + 2 : path, longNameVolume);

  MakeDisplayName(context->messageText, path, 32);
  SetControlText(context->dialogWindow, IDC_CURRENT_FILE, context->messageText);
  SetControlText(context->dialogWindow, IDC_PROGRESS, TEXT_PROGRESS_ZERO);
  CreatePathDirs(path);

  if (isWin32s) {
    uint32_t time = EntryTime();
    ApplyTzOffset(&time);
    SetEntryTime(time);
  }
  *newTime = UnixTimeToDosTime(EntryTime());

  if (IsDirectoryEntry()) return 1;
  switch (DecideExisting(path, *newTime)) {
    case kSkipEntry:
      return SkipEntryData() ? 0 : -1;
    case kStopRun:
      return -1;
    case kWriteFile:
      break;
  }
  context->outputHandle = CreateForWrite(path);
  if (context->outputHandle == 0) {
    ReportOpenError();
    return -1;
  }
  return 1;
}

// The steps of an ordinary entry after its data. Returns 0 to leave the loop.
int FinishEntry(uint32_t newTime) {
  bool directory = IsDirectoryEntry();
  if (context->aborted) {
    if (!directory) CloseAndDeleteOutput();
    return 0;
  }
  if (directory) return 1;

  SetFileDosTime(context->outputHandle, newTime);
  int closed = CloseFile(context->outputHandle);
  context->outputHandle = 0;
  if (!closed) {
    DeleteFileAt(context->outputPath);
    ShowError(TEXT_CLOSE_ERROR, context->outputPath);
    context->aborted = 1;
    return 0;
  }
  // Data that ran out before the original size is a CRC error, found early.
  if (context->runningCrc != EntryFileCrc() || context->streamOverrun) {
    DeleteFileAt(context->outputPath);
    ShowError(TEXT_CRC_ERROR, context->outputPath);
    context->aborted = 1;
    return 0;
  }
  if (context->config.restoreAttributes != 0) {
    SetAttributesOf(context->outputPath, context->attribute);
  }
  return 1;
}

// A special entry of the scan pass, decoded into memory. Returns 0 to leave the loop.
int TakeSpecialEntry(MemoryTarget target) {
  context->memoryTarget = target;
  context->outputHandle = kMemoryMarker;
  RunDataStep();
  if (context->aborted) {
    context->memoryTarget = kMemoryNone;
    return 0;
  }
  if (target == kMemoryNotice) {
    ShowNotice();
  } else {
    ApplySetupScript();
  }
  context->memoryTarget = kMemoryNone;
  return 1;
}

// Opening steps 2 to 4; on failure the own file is closed again.
int OpenArchive() {
  OpenResult opened = OpenOwnArchive();
  if (opened == kOpenFailed) return ReportOpenError();
  int ok = opened == kOpened ? MoveArchiveTo(context->config.archiveOffset) : ReportReadError();
  if (!ok) {
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
  }
  return ok;
}

}  // namespace

int SkipEntryData() {
  uint32_t position = 0;
  if (!GetFilePosition(context->archiveHandle, &position)) return ReportReadError();
  // An unsigned 64-bit sum: a size of 2^31 or more must never move backwards.
  return MoveArchiveTo(static_cast<uint64_t>(position) + EntryPackedSize());
}

int WalkArchive(WindowHandle owner, int mode) {
  context->dialogWindow = owner;
  context->aborted = 0;
  if (!OpenArchive()) return 0;

  int longNameVolume = QueryLongNameVolume(context->destFolder);
  if (context->config.flags & kFlagChecksum) ReadStoredChecksum();
  MakeCrcTable(kCrcPolynomial);
  checksumAccumulator = 0;

  for (;;) {
    if (ReadEntryHeader() != kHeaderValid) break;
    BuildEntryName();
    bool notice = TextEquals(context->entryName, "!");
    bool script = TextEquals(context->entryName, "$");

    if (mode == kScanPass) {
      checksumAccumulator ^= EntryFileCrc();
      if (notice || script) {
        if (!TakeSpecialEntry(notice ? kMemoryNotice : kMemoryScript)) break;
      } else if (!SkipEntryData()) {
        break;
      }
      continue;
    }

    if (notice || script) {
      if (!SkipEntryData()) break;
      continue;
    }
    uint32_t newTime = 0;
    int step = PrepareEntry(longNameVolume, &newTime);
    if (step < 0) break;
    if (step == 0) continue;
    RunDataStep();
    if (!FinishEntry(newTime)) break;
  }

  CloseFile(context->archiveHandle);
  context->archiveHandle = 0;
  if (mode == kScanPass) {
    if (!context->aborted && (context->config.flags & kFlagChecksum) &&
        checksumAccumulator != context->storedChecksum) {
      ShowError(TEXT_TAMPERED, context->ownPath);
      context->aborted = 1;
    }
  } else {
    RunSetupActions(context->dialogWindow);
    if (context->config.command[0] != '\0' && !context->aborted) {
      LaunchCommand(context->dialogWindow);
    }
  }
  ReleaseEntryHeader();
  return context->aborted == 0;
}
