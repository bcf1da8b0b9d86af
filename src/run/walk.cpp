// The walk over the archive appended to the program's own file: the scan pass
// (notice, setup script, checksum) and the extract pass (every ordinary entry
// into the destination folder). It tells the user of every failure, turning
// the archive layer's and the codec's results into the boxes and the ends of
// the run they call for.
#include "archive/archive.h"
#include "core/context.h"
#include "core/text.h"
#include "core/texts.h"
#include "decode/decode.h"
#include "files/files.h"
#include "platform/platform.h"
#include "run/run.h"
#include "setup/setup.h"
#include "ui/messages.h"
#include "ui/ui.h"

namespace {

int Report(const char* message) {
  ShowError(message, context->ownPath);
  context->aborted = 1;
  return 0;
}

bool IsDirectoryEntry() { return EntryMethodDigit(context) == 'd'; }

// Moves the archive to an absolute position computed without wrapping; a
// position past the end of the file is missing data.
int MoveArchiveTo(uint64_t target) {
  SeekResult r = SeekArchive(context, target);
  if (r == kSeekPastEnd) return ReportMissingData();
  if (r == kSeekFailed) return ReportReadError();
  return 1;
}

void CloseAndDeleteOutput() {
  CloseFile(context->outputHandle);
  context->outputHandle = 0;
  DeleteFileAt(context->outputPath);
}

// Runs the entry's data into the sink. A bad table, a read error, a write
// error or a Cancel ends the run: reported (a Cancel silently), the partly
// written file deleted, kWalkEndsRun. Otherwise the stored copy reads the
// original size and the bit input may leave padding unread, so when the data
// step did not end exactly where the entry's data ends, the archive is moved
// there: the next header is then read from its true place. kWalkFailed (the
// abort flag set) when that position cannot be reached.
WalkResult RunDataStep(DecodeResult* result) {
  uint32_t dataStart = 0;
  int knowStart = GetFilePosition(context->archiveHandle, &dataStart);
  *result = RunEntryData(context);
  switch (*result) {
    case kDecodeBadTable:
      ShowError(TEXT_BAD_TABLE, context->ownPath);
      break;
    case kDecodeReadError:
      ReportReadError();
      break;
    case kDecodeStopped:   // the sink has reported a write error; a Cancel is silent
    case kDecodeDone:
    case kDecodeOverrun:
      break;
  }
  if (*result >= kDecodeBadTable) {
    if (context->outputHandle != kMemoryMarker) CloseAndDeleteOutput();
    return kWalkEndsRun;
  }
  if (!knowStart) return kWalkDone;
  uint64_t end = static_cast<uint64_t>(dataStart) + EntryPackedSize(context);
  uint32_t now = 0;
  if (GetFilePosition(context->archiveHandle, &now) && now == end) return kWalkDone;
  return MoveArchiveTo(end) ? kWalkDone : kWalkFailed;
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
  context->progressShownAt = TickCount() - kProgressInterval;
  CreatePathDirs(path);

  if (isWin32s) {
    uint32_t time = EntryTime(context);
    ApplyTzOffset(&time);
    SetEntryTime(context, time);
  }
  *newTime = UnixTimeToDosTime(EntryTime(context));

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
int FinishEntry(uint32_t newTime, DecodeResult result) {
  bool directory = IsDirectoryEntry();
  if (context->aborted) {
    if (!directory) CloseAndDeleteOutput();
    return 0;
  }
  if (directory) return 1;

  SetFileDosTime(context->outputHandle, newTime);
  int closed = CloseFile(context->outputHandle);
  context->outputHandle = 0;
  const char* failure = nullptr;
  if (!closed) {
    failure = TEXT_CLOSE_ERROR;
  } else if (context->runningCrc != EntryFileCrc(context) || result == kDecodeOverrun) {
    // Data that ran out before the original size is a CRC error, found early.
    failure = TEXT_CRC_ERROR;
  }
  if (failure != nullptr) {
    DeleteFileAt(context->outputPath);
    ShowError(failure, context->outputPath);
    context->aborted = 1;
    return 0;
  }
  if (context->config.restoreAttributes != 0) {
    SetAttributesOf(context->outputPath, context->attribute);
  }
  return 1;
}

// A special entry of the scan pass, decoded into memory. Returns 0 to leave
// the loop (the abort flag set), kWalkEndsRun when its data ended the run.
int TakeSpecialEntry(MemoryTarget target) {
  context->memoryTarget = target;
  context->outputHandle = kMemoryMarker;
  DecodeResult result;
  if (RunDataStep(&result) == kWalkEndsRun) return kWalkEndsRun;
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

// Opens the own file and moves to the archive; on failure the own file is
// closed again.
int OpenArchive() {
  OpenResult opened = OpenOwnArchive(context);
  if (opened == kOpenFailed) return ReportOpenError();
  int ok = opened == kOpened ? MoveArchiveTo(context->config.archiveOffset) : ReportReadError();
  if (!ok) {
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
  }
  return ok;
}

// The header reader's failures, told to the user. Returns 1 for a valid header.
int TakeHeader() {
  switch (ReadEntryHeader(context)) {
    case kHeaderValid:
      return 1;
    case kHeaderInvalid:
      ReportBadHeader();
      break;
    case kHeaderNoMemory:
      ShowBox(context->dialogWindow, TEXT_NO_MEMORY, context->config.windowTitle,
              kBoxOk | kIconError);
      context->aborted = 1;
      break;
    case kHeaderReadError:
      ReportReadError();
      break;
    case kHeaderEnd:
      break;
  }
  return 0;
}

}  // namespace

int SkipEntryData() {
  uint32_t position = 0;
  if (!GetFilePosition(context->archiveHandle, &position)) return ReportReadError();
  // An unsigned 64-bit sum: a size of 2^31 or more must never move backwards.
  return MoveArchiveTo(static_cast<uint64_t>(position) + EntryPackedSize(context));
}

WalkResult WalkArchive(WindowHandle owner, int mode) {
  context->dialogWindow = owner;
  context->aborted = 0;
  context->codec.sink = HandOver;
  if (!OpenArchive()) return kWalkFailed;

  int longNameVolume = QueryLongNameVolume(context->destFolder);
  if (context->config.flags & kFlagChecksum) ReadStoredChecksum(context);
  MakeCrcTable(context, kCrcPolynomial);
  checksumAccumulator = 0;

  WalkResult ended = kWalkDone;
  for (;;) {
    if (!TakeHeader()) break;
    BuildEntryName(context);
    bool notice = TextEquals(context->entryName, "!");
    bool script = TextEquals(context->entryName, "$");

    if (mode == kScanPass) {
      checksumAccumulator ^= EntryFileCrc(context);
      if (notice || script) {
        int taken = TakeSpecialEntry(notice ? kMemoryNotice : kMemoryScript);
        if (taken == kWalkEndsRun) ended = kWalkEndsRun;
        if (taken != 1) break;
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
    DecodeResult result;
    ended = RunDataStep(&result);
    if (ended == kWalkEndsRun || !FinishEntry(newTime, result)) break;
  }

  CloseFile(context->archiveHandle);
  context->archiveHandle = 0;
  ReleaseEntryHeader(context);
  // A run that ends here does nothing more: no checksum box, no setup
  // actions, no command.
  if (ended == kWalkEndsRun) return kWalkEndsRun;
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
  return context->aborted == 0 ? kWalkDone : kWalkFailed;
}

int ReportReadError() { return Report(TEXT_READ_ERROR); }
int ReportMissingData() { return Report(TEXT_MISSING_DATA); }
int ReportOpenError() { return Report(TEXT_OPEN_ERROR); }
int ReportBadHeader() { return Report(TEXT_BAD_HEADER); }

void AbortRun(int status) {
  constexpr FileHandle kClosed = ~static_cast<FileHandle>(0);
  if (context != nullptr) {
    FileHandle output = context->outputHandle;
    if (output != 0 && output != kMemoryMarker) {
      CloseFile(output);
      DeleteFileAt(context->outputPath);
    }
    FileHandle archive = context->archiveHandle;
    if (archive != 0 && archive != kClosed) CloseFile(archive);
    context->outputHandle = kClosed;
    context->archiveHandle = kClosed;
  }
  EndProcess(status);
}
