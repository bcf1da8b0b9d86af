// The archive appended to the program's own file: opening it, moving in it,
// and reading and validating its entry headers. Every call works on the
// record its caller passes (the run's, or a builder's own), never on another.
// Nothing here tells the user anything: results come back to the caller,
// which reports them.
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

HeaderResult ReadEntryHeader(ExtractContext* c);
void BuildEntryName(ExtractContext* c);
// Releases the current header buffer (the walk keeps one at a time).
void ReleaseEntryHeader(ExtractContext* c);

// Little-endian fields of the current header (one has been read).
uint32_t EntryPackedSize(const ExtractContext* c);
uint32_t EntryOriginalSize(const ExtractContext* c);
uint32_t EntryTime(const ExtractContext* c);
void SetEntryTime(ExtractContext* c, uint32_t time);
uint16_t EntryFileCrc(const ExtractContext* c);
char EntryMethodDigit(const ExtractContext* c);   // header byte 5: '0', '4'..'7' or 'd'

// The own file opened with archiveSize set, a move to an absolute position,
// the stored checksum read into storedChecksum.
enum OpenResult { kOpened, kOpenFailed, kSizeUnknown };
enum SeekResult { kSeekDone, kSeekPastEnd, kSeekFailed };
OpenResult OpenOwnArchive(ExtractContext* c);
SeekResult SeekArchive(const ExtractContext* c, uint64_t target);
void ReadStoredChecksum(ExtractContext* c);
// The current entry's data through the stored copy or the decoder, by its
// method, from the record's archive into its codec's sink (runningCrc from 0).
// A directory entry has none.
DecodeResult RunEntryData(ExtractContext* c);

// The record's CRC: its tables built, and bytes folded into runningCrc (a
// length of 0 or less folds nothing). Returns the new value.
void MakeCrcTable(ExtractContext* c, uint16_t polynomial);
uint16_t UpdateCrc(ExtractContext* c, const void* data, int32_t length);

// The plain way out of the codec for a record: the bytes into its output
// file, if any, and its running CRC; or, with the memory marker, into the
// text that memoryTarget names (the notice in messageText, the setup script in
// scriptBuffer), replacing it up to the first NUL and the buffer's capacity.
// 0 when the file could not take them all.
int StoreOutput(ExtractContext* c, const uint8_t* data, uint32_t count);
// The same as the codec's sink, with the record as the state's sinkData.
int StoreToRecord(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t done);
