// The archive appended to the program's own file: opening it, moving in it,
// and reading and validating its entry headers. Nothing here tells the user
// anything: results come back to the caller, which reports them.
#pragma once

#include <stdint.h>

#include "core/context.h"

enum HeaderResult {
  kHeaderEnd = 0,        // the end mark, or fewer than two bytes left
  kHeaderValid = 1,      // the archive is at the entry's data
  kHeaderInvalid = 2,    // short, unknown method, no or a wrong header CRC, bad layout
  kHeaderNoMemory = 3,   // no buffer for the header
  kHeaderReadError = 4,  // the size field could not be read
};

HeaderResult ReadEntryHeader();
void BuildEntryName();
// Releases the current header buffer (the walk keeps one at a time).
void ReleaseEntryHeader();

// Little-endian fields of the current header (one has been read).
uint32_t EntryPackedSize();
uint32_t EntryOriginalSize();
uint32_t EntryTime();
void SetEntryTime(uint32_t time);
uint16_t EntryFileCrc();
char EntryMethodDigit();   // header byte 5: '0', '4'..'7' or 'd'

// The own file opened with archiveSize set, a move to an absolute position,
// the stored checksum read into storedChecksum.
enum OpenResult { kOpened, kOpenFailed, kSizeUnknown };
enum SeekResult { kSeekDone, kSeekPastEnd, kSeekFailed };
OpenResult OpenOwnArchive();
SeekResult SeekArchive(uint64_t target);
void ReadStoredChecksum();
// The current entry's data through the stored copy or the decoder, by its
// method, into the context's sink (runningCrc from 0). A directory entry has none.
DecodeResult RunEntryData();
