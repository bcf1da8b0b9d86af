// Shared by the fuzz targets: a fresh context per input and the archive bytes
// as a file. Host-only code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// Prepares the process once and the context for one input;
// the archive file holds these bytes and is open as archiveHandle.
void BeginInput(const uint8_t* data, size_t size);
// Closes what the input left open and releases the header buffer.
void EndInput();
// A file path for output that an abort may delete.
const std::string& OutputPath();


}  // namespace fuzz
