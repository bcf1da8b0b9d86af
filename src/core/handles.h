// Opaque handles that cross the two seams. They are plain integers so that the
// core never needs the platform's headers.
#pragma once

#include <stdint.h>

using FileHandle = uintptr_t;      // 0: no file
using WindowHandle = uintptr_t;    // 0: no window
using InstanceHandle = uintptr_t;
using IconHandle = uintptr_t;

// The value with all bits set: the output sink copies into a text buffer.
constexpr FileHandle kMemoryMarker = ~static_cast<FileHandle>(0);
