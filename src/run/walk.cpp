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
  ExtractContext* c = context;
  CloseFile(c->outputHandle);
  c->outputHandle = 0;
  DeleteFileAt(c->outputPath);
}

// Runs the entry's data into the sink. A bad table, a read error, a write
// error or a Cancel ends the run: reported (a Cancel silently), the partly
// written file deleted, kWalkEndsRun. Otherwise the stored copy reads the
// original size and the bit input may leave padding unread, so when the data
// step did not end exactly where the entry's data ends, the archive is moved
// there: the next header is then read from its true place. kWalkFailed (the
// abort flag set) when that position cannot be reached.
WalkResult RunDataStep(DecodeResult* result) {
  ExtractContext* c = context;
  uint32_t dataStart = 0;
  int knowStart = GetFilePosition(c->archiveHandle, &dataStart);
  *result = RunEntryData(c);
  switch (*result) {
    case kDecodeBadTable:
      ShowError(TEXT_BAD_TABLE, c->ownPath);
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
    if (c->outputHandle != kMemoryMarker) CloseAndDeleteOutput();
    return kWalkEndsRun;
  }
  if (!knowStart) return kWalkDone;
  uint64_t end = static_cast<uint64_t>(dataStart) + EntryPackedSize(c);
  uint32_t now = 0;
  if (GetFilePosition(c->archiveHandle, &now) && now == end) return kWalkDone;
  return MoveArchiveTo(end) ? kWalkDone : kWalkFailed;
}

// The steps of an ordinary entry before its data. Returns 1 to go on with the
// data step, 0 to go to the next entry, -1 to leave the loop.
int PrepareEntry(int longNameVolume, uint32_t* newTime) {
  ExtractContext* c = context;
  char* path = c->outputPath;
  c->outputHandle = 0;
  JoinDestPath(path, c->destFolder, c->entryName);
  NormaliseSeparators(path, '/');
  SanitisePath(path[0] != '\0' && path[1] == ':' ? path + 2 : path, longNameVolume);

  MakeDisplayName(c->messageText, path, 32);
  SetControlText(c->dialogWindow, IDC_CURRENT_FILE, c->messageText);
  SetControlText(c->dialogWindow, IDC_PROGRESS, TEXT_PROGRESS_ZERO);
  c->progressShownAt = TickCount() - kProgressInterval;
  CreatePathDirs(path);

  if (isWin32s) {
    uint32_t time = EntryTime(c);
    ApplyTzOffset(&time);
    SetEntryTime(c, time);
  }
  *newTime = UnixTimeToDosTime(EntryTime(c));

  if (IsDirectoryEntry()) return 1;
  switch (DecideExisting(path, *newTime)) {
    case kSkipEntry:
      return SkipEntryData() ? 0 : -1;
    case kStopRun:
      return -1;
    case kWriteFile:
      break;
  }
  c->outputHandle = CreateForWrite(path);
  if (c->outputHandle == 0) {
    ReportOpenError();
    return -1;
  }
  return 1;
}

// The steps of an ordinary entry after its data. Returns 0 to leave the loop.
int FinishEntry(uint32_t newTime, DecodeResult result) {
  ExtractContext* c = context;
  bool directory = IsDirectoryEntry();
  if (c->aborted) {
    if (!directory) CloseAndDeleteOutput();
    return 0;
  }
  if (directory) return 1;

  SetFileDosTime(c->outputHandle, newTime);
  int closed = CloseFile(c->outputHandle);
  c->outputHandle = 0;
  const char* failure = nullptr;
  if (!closed) {
    failure = TEXT_CLOSE_ERROR;
  } else if (c->runningCrc != EntryFileCrc(c) || result == kDecodeOverrun) {
    // Data that ran out before the original size is a CRC error, found early.
    failure = TEXT_CRC_ERROR;
  }
  if (failure != nullptr) {
    DeleteFileAt(c->outputPath);
    ShowError(failure, c->outputPath);
    c->aborted = 1;
    return 0;
  }
  if (c->config.restoreAttributes != 0) {
    SetAttributesOf(c->outputPath, c->attribute);
  }
  return 1;
}

// A special entry of the scan pass, decoded into memory. Returns 0 to leave
// the loop (the abort flag set), kWalkEndsRun when its data ended the run.
int TakeSpecialEntry(MemoryTarget target) {
  ExtractContext* c = context;
  c->memoryTarget = target;
  c->outputHandle = kMemoryMarker;
  DecodeResult result;
  if (RunDataStep(&result) == kWalkEndsRun) return kWalkEndsRun;
  if (c->aborted) {
    c->memoryTarget = kMemoryNone;
    return 0;
  }
  if (target == kMemoryNotice) {
    ShowNotice();
  } else {
    ApplySetupScript();
  }
  c->memoryTarget = kMemoryNone;
  return 1;
}

// Opens the own file and moves to the archive; on failure the own file is
// closed again.
int OpenArchive() {
  ExtractContext* c = context;
  OpenResult opened = OpenOwnArchive(c);
  if (opened == kOpenFailed) return ReportOpenError();
  int ok = opened == kOpened ? MoveArchiveTo(c->config.archiveOffset) : ReportReadError();
  if (!ok) {
    CloseFile(c->archiveHandle);
    c->archiveHandle = 0;
  }
  return ok;
}

// The header reader's failures, told to the user. Returns 1 for a valid header.
int TakeHeader() {
  ExtractContext* c = context;
  switch (ReadEntryHeader(c)) {
    case kHeaderValid:
      return 1;
    case kHeaderInvalid:
      ReportBadHeader();
      break;
    case kHeaderNoMemory:
      ShowBox(c->dialogWindow, TEXT_NO_MEMORY, c->config.windowTitle,
              kBoxOk | kIconError);
      c->aborted = 1;
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
  ExtractContext* c = context;
  c->dialogWindow = owner;
  c->aborted = 0;
  c->codec.sink = HandOver;
  if (!OpenArchive()) return kWalkFailed;

  int longNameVolume = QueryLongNameVolume(c->destFolder);
  if (c->config.flags & kFlagChecksum) ReadStoredChecksum(c);
  MakeCrcTable(c, kCrcPolynomial);
  checksumAccumulator = 0;

  WalkResult ended = kWalkDone;
  for (;;) {
    if (!TakeHeader()) break;
    BuildEntryName(c);
    bool notice = TextEquals(c->entryName, "!");
    bool script = TextEquals(c->entryName, "$");

    if (mode == kScanPass) {
      checksumAccumulator ^= EntryFileCrc(c);
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

  CloseFile(c->archiveHandle);
  c->archiveHandle = 0;
  ReleaseEntryHeader(c);
  // A run that ends here does nothing more: no checksum box, no setup
  // actions, no command.
  if (ended == kWalkEndsRun) return kWalkEndsRun;
  if (mode == kScanPass) {
    if (!c->aborted && (c->config.flags & kFlagChecksum) &&
        checksumAccumulator != c->storedChecksum) {
      ShowError(TEXT_TAMPERED, c->ownPath);
      c->aborted = 1;
    }
  } else {
    RunSetupActions(c->dialogWindow);
    if (c->config.command[0] != '\0' && !c->aborted) {
      LaunchCommand(c->dialogWindow);
    }
  }
  return c->aborted == 0 ? kWalkDone : kWalkFailed;
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
