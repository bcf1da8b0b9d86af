// The error box every failure of a file goes through, and the question about
// a file that exists.
#include "ui/messages.h"

#include "core/context.h"
#include "core/text.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

bool LiesInMessageText(const char* text) {
  const char* begin = context->messageText;
  return text >= begin && text < begin + kMessageCap;
}

}  // namespace

void ShowError(const char* message, const char* subject) {
  // The box text is built in messageText; a subject or message that already
  // lives there would be overwritten while it is being copied.
  char subjectCopy[kMessageCap];
  char messageCopy[kMessageCap];
  if (LiesInMessageText(subject)) {
    CopyText(subjectCopy, subject, kMessageCap);
    subject = subjectCopy;
  }
  if (LiesInMessageText(message)) {
    CopyText(messageCopy, message, kMessageCap);
    message = messageCopy;
  }
  FormatQuoted(context->messageText, kMessageCap, subject, message);
  ShowBox(context->dialogWindow, context->messageText, context->config.windowTitle,
          kBoxOk | kIconError);
}

int AskOverwrite(const char* outputPath) {
  FormatQuoted(context->messageText, kMessageCap, outputPath, TEXT_OVERWRITE);
  return ShowBox(context->dialogWindow, context->messageText, context->config.windowTitle,
                 kBoxYesNoCancel | kIconQuestion);
}
