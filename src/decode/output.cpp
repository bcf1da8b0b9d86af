// The plain way out of the codec: the output file with the running CRC, or,
// for the notice and the setup script, a text buffer.
#include <string.h>

#include "core/context.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {

// Replaces the buffer's text by the bytes up to the first NUL, at most count
// bytes and capacity - 1 of them; always terminated.
void CopyToText(char* target, uint32_t capacity, const uint8_t* buffer, uint32_t count) {
  uint32_t n = 0;
  while (n < count && n + 1 < capacity && buffer[n] != 0) ++n;
  memcpy(target, buffer, n);
  target[n] = '\0';
}

}  // namespace

int StoreOutput(const uint8_t* data, uint32_t count, uint32_t) {
  FileHandle out = context->outputHandle;
  if (out != kMemoryMarker) {
    uint32_t written = 0;
    if (out != 0 && (!WriteToFile(out, data, count, &written) || written != count)) return 0;
    // A hand-over is at most one 64 KB window, well within the signed count.
    UpdateCrc(data, static_cast<int32_t>(count));
    return 1;
  }
  switch (context->memoryTarget) {
    case kMemoryNotice:
      CopyToText(context->messageText, kMessageCap, data, count);
      break;
    case kMemoryScript:
      CopyToText(context->scriptBuffer, kScriptCap, data, count);
      break;
    case kMemoryNone:
    default:
      break;
  }
  return 1;
}
