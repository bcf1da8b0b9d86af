// Shared by the fuzz targets: a fresh context per input and, where the code
// under test reads its own file, the archive bytes as that file, read from
// memory. Host-only code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// Prepares the process once and the run's context for one input, with no
// archive.
void BeginRun();
// The same, with the archive's path reading these bytes (kept, not copied),
// open as archiveHandle (the walk and the header reader read their own file).
void BeginInput(const uint8_t* data, size_t size);
// Closes what the input left open and releases the header buffer.
void EndInput();
// A file path for output that an abort may delete.
const std::string& OutputPath();


}  // namespace fuzz
