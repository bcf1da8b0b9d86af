// Entry headers and the archive walk.
#pragma once

#include <stdint.h>

#include "core/lzh_format.h"
#include "platform/handles.h"

enum HeaderResult { kHeaderEnd = 0, kHeaderValid = 1, kHeaderFailed = 2 };
enum WalkMode { kExtractPass = 0, kScanPass = 1 };


HeaderResult ReadEntryHeader();
void BuildEntryName();
// Releases the current header buffer (the walk keeps one at a time).
void ReleaseEntryHeader();

// Little-endian fields of the current header.
uint32_t EntryPackedSize();
uint32_t EntryOriginalSize();
uint32_t EntryTime();
void SetEntryTime(uint32_t time);
uint16_t EntryFileCrc();
char EntryMethodDigit();   // header byte 5: '0', '4'..'7' or 'd'

int WalkArchive(WindowHandle owner, int mode);

// The walk's own steps, without a word to the user (the builder's listing and
// testing share them): the own file opened with archiveSize set, a move to an
// absolute position, the stored checksum read into storedChecksum, and the
// current entry's data run through the stored copy or the decoder by its
// method (runningCrc and streamOverrun from 0).
enum OpenResult { kOpened, kOpenFailed, kSizeUnknown };
enum SeekResult { kSeekDone, kSeekPastEnd, kSeekFailed };
OpenResult OpenOwnArchive();
SeekResult SeekArchive(uint64_t target);
void ReadStoredChecksum();
void RunEntryData();
int SkipEntryData();
int ReportReadError();
int ReportMissingData();
int ReportOpenError();
int ReportBadHeader();
