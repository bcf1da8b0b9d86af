// The run's order: start-up, the two passes over the archive, the output
// sink with its progress, and the end of a run that cannot go on. This layer
// drives the others; nothing below it calls into it.
#pragma once

#include <stdint.h>

#include "core/codec_state.h"
#include "core/handles.h"

// The whole run after the platform entry: returns the process exit status.
int RunProgram(InstanceHandle instance, const char* commandTail);

enum WalkMode { kExtractPass = 0, kScanPass = 1 };
// The result of a walk: success, a failure that was reported (the abort flag
// is set), or a failure inside an entry's data that ends the run at once
// with status 1 (reported, the partial file deleted): its caller calls
// AbortRun.
enum WalkResult { kWalkFailed = 0, kWalkDone = 1, kWalkEndsRun = 2 };
WalkResult WalkArchive(WindowHandle owner, int mode);
int SkipEntryData();
int ReportReadError();
int ReportMissingData();
int ReportOpenError();
int ReportBadHeader();

// The walk's sink: the file (with the running CRC) or a text buffer, then the
// progress for a file. WriteOutput returns 0 after a write error (reported);
// ShowProgress 0 when the user asked to cancel. Between an entry's first
// report and its last, the percentage is drawn at most once per
// kProgressInterval milliseconds; every report pumps the queue.
constexpr uint32_t kProgressInterval = 100;
int WriteOutput(const uint8_t* buffer, uint32_t count);
int ShowProgress(uint32_t done, uint32_t total);
int HandOver(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t done);

// Closes and deletes a partly written output, closes the archive, ends the process.
[[noreturn]] void AbortRun(int status);
