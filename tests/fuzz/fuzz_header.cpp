// Entry headers from arbitrary bytes: the input is the archive file; every
// header in it is read and named, and the data between is passed over as the
// walk does. The name must always end inside entryName.
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "core/context.h"
#include "fuzz_support.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::BeginInput(data, size);
  for (int entry = 0; entry < 64; ++entry) {
    if (ReadEntryHeader(context) != kHeaderValid) break;
    BuildEntryName(context);
    if (memchr(context->entryName, 0, kEntryNameCap) == nullptr) abort();
    (void)EntryMethodDigit(context);
    (void)EntryTime(context);
    (void)EntryFileCrc(context);
    uint32_t here = 0;
    if (!GetFilePosition(context->archiveHandle, &here)) break;
    uint64_t next = static_cast<uint64_t>(here) + EntryPackedSize(context);
    if (next > context->archiveSize) break;
    uint32_t at = 0;
    if (!SeekFile(context->archiveHandle, static_cast<uint32_t>(next), &at)) break;
  }
  fuzz::EndInput();
  return 0;
}
