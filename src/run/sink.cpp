// Where the codec's output goes in a walk: the output file (with the running
// CRC) or, for the notice and the setup script, a text buffer; then the
// progress, which keeps the dialog responsive and hears a Cancel.
#include "archive/archive.h"
#include "core/context.h"
#include "core/text.h"
#include "core/texts.h"
#include "platform/platform.h"
#include "run/run.h"
#include "ui/messages.h"
#include "ui/ui.h"

int WriteOutput(const uint8_t* buffer, uint32_t count) {
  if (StoreOutput(context, buffer, count)) return 1;
  ShowError(TEXT_WRITE_ERROR, context->outputPath);
  return 0;
}

// Drawing the text costs more than decoding the 64 KB it reports, and no one
// reads a percentage that lasts a millisecond: an entry's first report and
// its 100 are drawn, the others only when kProgressInterval has passed since
// the last drawing. Every report pumps the queue, so Cancel is still heard at
// the next one.
int ShowProgress(uint32_t done, uint32_t total) {
  const uint32_t now = TickCount();
  uint32_t percent;
  if (total == 0) {
    percent = 0;
  } else {
    uint32_t unit = total / 100;
    percent = unit == 0 ? 100 : done / unit;
  }
  if (percent > 100) percent = 100;

  if (percent == 100 || now - context->progressShownAt >= kProgressInterval) {
    context->progressShownAt = now;
    char* text = context->messageText;
    CopyText(text, TEXT_PROGRESS_PREFIX, kMessageCap);
    // One past the last digit of a percentage of one to three digits.
    char* digit = text + sizeof(TEXT_PROGRESS_PREFIX) + (percent >= 10) + (percent >= 100);
    digit[0] = '%';
    digit[1] = '\0';
    do {
      *--digit = static_cast<char>('0' + percent % 10);
      percent /= 10;
    } while (percent != 0);
    SetControlText(context->dialogWindow, IDC_PROGRESS, text);
  }
  PumpMessages(context->dialogWindow);
  return context->cancelRequested != 1;
}

int HandOver(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t done) {
  if (!WriteOutput(data, count)) return 0;
  // Memory targets report no progress.
  return context->outputHandle == kMemoryMarker || ShowProgress(done, state->originalSize);
}
