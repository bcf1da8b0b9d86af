// Shared by the fuzz targets: a fresh context per input, the archive bytes as
// a file, and an abort that comes back to the target instead of ending the
// process. Host-only code.
#pragma once

#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// Prepares the process once (EndProcess hook) and the context for one input;
// the archive file holds these bytes and is open as archiveHandle.
void BeginInput(const uint8_t* data, size_t size);
// Closes what the input left open and releases the header buffer.
void EndInput();
// A file path for output that an abort may delete.
const std::string& OutputPath();

// Where AbortRun lands. Set with setjmp before running core code:
//   if (setjmp(fuzz::abortJump) == 0) { ... }   // else: the run was aborted
extern jmp_buf abortJump;
extern int lastStatus;

}  // namespace fuzz
