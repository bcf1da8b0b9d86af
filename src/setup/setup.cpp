// The notice, and the command started after a successful extraction.
#include "setup/setup.h"

#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"
#include "ui/ui.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// Only an explicit Yes accepts the notice: a box that could not be shown has
// not been agreed to.
void ShowNotice() {
  int answer = ShowBox(0, context->messageText, context->config.windowTitle,
                       kBoxYesNo | kIconQuestion);
  if (answer != kAnswerYes) context->aborted = 1;
}

namespace {

// Copies the file part of command into out; returns where the parameters start.
const char* SplitCommand(const char* command, char* out, uint32_t capacity) {
  const char* p = command;
  while (IsBlank(*p)) ++p;
  uint32_t n = 0;
  auto take = [&](char c) {
    if (n + 1 < capacity) out[n++] = c;
  };
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') take(*p++);
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && !IsBlank(*p)) take(*p++);
  }
  if (capacity != 0) out[WholeCharLength(out, n)] = '\0';
  while (IsBlank(*p)) ++p;
  return p;
}

}  // namespace

void LaunchCommand(WindowHandle dialog) {
  const char* parameters = SplitCommand(context->config.command, context->messageText,
                                        kMessageCap);
  ShellOpen(dialog, context->messageText, parameters[0] != '\0' ? parameters : nullptr,
            context->destFolder);
}
