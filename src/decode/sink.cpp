// The one way out of the decompression: bytes go to the output file (with the
// running CRC) or, for the notice and the setup script, into a text buffer.
#include "core/context.h"
#include "core/text.h"
#include "decode/decode.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/texts.h"
#include "ui/ui.h"

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

void WriteOutput(const uint8_t* buffer, uint32_t count, FileHandle handle) {
  if (handle != kMemoryMarker) {
    uint32_t written = 0;
    if (!WriteToFile(handle, buffer, count, &written) || written != count) {
      ShowError(TEXT_WRITE_ERROR, context->outputPath);
      AbortRun(1);
    }
    // A hand-over is at most one 64 KB window, well within the signed count.
    UpdateCrc(buffer, static_cast<int32_t>(count));
    return;
  }
  switch (context->memoryTarget) {
    case kMemoryNotice:
      CopyToText(context->messageText, kMessageCap, buffer, count);
      break;
    case kMemoryScript:
      CopyToText(context->scriptBuffer, kScriptCap, buffer, count);
      break;
    case kMemoryNone:
    default:
      break;
  }
}

void ShowProgress(uint32_t done, uint32_t total) {
  uint32_t percent;
  if (total == 0) {
    percent = 0;
  } else {
    uint32_t unit = total / 100;
    percent = unit == 0 ? 100 : done / unit;
  }
  if (percent > 100) percent = 100;

  char* text = context->messageText;
  CopyText(text, TEXT_PROGRESS_PREFIX, kMessageCap);
  char* end = FormatUnsigned(text + TextLength(text), percent);
  end[0] = '%';
  end[1] = '\0';
  SetControlText(context->dialogWindow, IDC_PROGRESS, text);
  PumpMessages(context->dialogWindow);
  if (context->cancelRequested == 1) AbortRun(1);
}
