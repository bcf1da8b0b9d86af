// The main dialog's behaviour. The window system's dialog procedure hands each
// message here; everything the dialog does to its controls goes through ui.h,
// so the same handlers run under Win32 and in the scripted host UI. OK runs
// the extract pass; the Program Manager's acknowledges go to the conversation.
#include "run/dialog.h"

#include "core/context.h"
#include "core/text.h"
#include "core/texts.h"
#include "platform/platform.h"
#include "run/run.h"
#include "setup/setup.h"
#include "ui/ui.h"

namespace {

constexpr int kAutoStartTimer = 1;
// Timer 2 wakes the wait for a Program Manager conversation.
constexpr int kFolderRefusedTimer = 3;
constexpr uint32_t kAutoStartDelay = 700;
constexpr uint32_t kFolderChars = kDestFolderCap - 1;   // 255

void RefuseFolder(WindowHandle dialog) {
  ShowBox(dialog, TEXT_BAD_FOLDER, context->config.windowTitle, kBoxOk | kIconWarning);
}

// Reads the folder field into destFolder without its double quotes. The field
// can hold more than destFolder does (Browse adds quotes around a folder of up
// to 255 characters), so it is read whole into a larger buffer and the quotes
// are removed there; only a folder that still does not fit is refused, rather
// than cut into a different folder than the one the user chose.
int ReadDestFolder(WindowHandle dialog) {
  char field[kMessageCap];
  field[0] = '\0';
  uint32_t got = GetControlText(dialog, IDC_FOLDER_EDIT, field, sizeof field);
  if (got == 0) field[0] = '\0';
  field[sizeof field - 1] = '\0';
  context->destFolder[0] = '\0';
  RemoveQuotes(field, sizeof field);
  if (TextLength(field) > kFolderChars || !CarriesText(field)) return 0;
  CopyText(context->destFolder, field, kDestFolderCap);
  return 1;
}

void OnOk(WindowHandle dialog) {
  // The extraction pumps messages, so a second OK (the automatic start's timer
  // firing after a click, a posted command) can arrive inside it; a nested walk
  // would trample the one in progress.
  if (context->extracting) return;
  if (!ReadDestFolder(dialog)) {
    RefuseFolder(dialog);
    return;
  }
  if (context->destFolder[0] == '\\' && context->destFolder[1] == '\\') {
    RefuseFolder(dialog);
    return;
  }
  // Only Cancel stays usable while the walk runs.
  static const uint8_t kLocked[] = {IDC_OK, IDC_BROWSE, IDC_FOLDER_EDIT, IDC_GROUP_BOX,
                                    IDC_CLASS_BOX};
  for (uint8_t id : kLocked) EnableControl(dialog, id, 0);
  FocusControl(dialog, IDC_CANCEL);
  MakeDefaultButton(dialog, IDC_CANCEL);
  context->extracting = 1;
  // Failures have been shown by the walk; the dialog ends with 1 regardless,
  // unless one inside an entry's data ends the run at once.
  if (WalkArchive(dialog, kExtractPass) == kWalkEndsRun) AbortRun(1);
  FinishDialog(dialog, 1);
}

void OnCancel(WindowHandle dialog) {
  // The extraction's progress step acts on the request; ending the dialog here
  // would pull the window out from under the running walk.
  if (context->extracting) {
    context->cancelRequested = 1;
    return;
  }
  FinishDialog(dialog, 0);
}

void OnBrowse(WindowHandle dialog) {
  if (ChooseDirectory(dialog) == 0) return;
  const char* folder = context->destFolder;
  if (!CarriesText(folder)) {
    RefuseFolder(dialog);
    return;
  }
  int hasBlank = 0;
  for (const char* p = folder; *p != '\0'; ++p) {
    if (*p == ' ') {
      hasBlank = 1;
      break;
    }
  }
  char out[kDestFolderCap + 2];
  if (hasBlank) {
    CopyText(out, "\"", sizeof out);
    AppendText(out, folder, sizeof out);
    AppendText(out, "\"", sizeof out);
  } else {
    CopyText(out, folder, sizeof out);
  }
  SetControlText(dialog, IDC_FOLDER_EDIT, out);
}

void FlipBox(WindowHandle dialog, int id, int32_t* flag) {
  *flag = *flag ? 0 : 1;
  SetCheckMark(dialog, id, *flag);
}

}  // namespace

void OnDialogInit(WindowHandle dialog) {
  ExtractContext* c = context;
  ddeState = kDdeIdle;
  SetWindowCaption(dialog, c->config.windowTitle);
  if (c->config.installTitle[0] != '\0') {
    SetControlText(dialog, IDC_FOLDER_LABEL, c->config.installTitle);
  }
  SetControlText(dialog, IDC_FOLDER_EDIT, c->config.installFolder);
  if (c->groupBoxTitle[0] != '\0') SetControlText(dialog, IDC_GROUP_BOX, c->groupBoxTitle);
  if (c->classBoxTitle[0] != '\0') SetControlText(dialog, IDC_CLASS_BOX, c->classBoxTitle);
  LimitControlText(dialog, IDC_FOLDER_EDIT, kFolderChars);
  SetCheckMark(dialog, IDC_GROUP_BOX, c->groupChecked != 0);
  SetCheckMark(dialog, IDC_CLASS_BOX, c->classChecked != 0);
  EnableControl(dialog, IDC_GROUP_BOX, c->groupChecked == 1);
  EnableControl(dialog, IDC_CLASS_BOX, c->classChecked == 1);
  CentreWindow(dialog);
  c->extracting = 0;
  c->cancelRequested = 0;
  dialogIcon = LoadDialogIcon(instanceHandle, 101);
  if (autoStart == kAutoStartOn) StartTimer(dialog, kAutoStartTimer, kAutoStartDelay);
  // The folder the command line named was too long to take: the user hears
  // of it once the dialog is on the screen (a timer fires only when nothing
  // else waits, after the dialog is shown), and chooses one there.
  if (destinationRefused) StartTimer(dialog, kFolderRefusedTimer, 1);
}

int OnDialogCommand(WindowHandle dialog, int id) {
  switch (id) {
    case IDC_OK:
      OnOk(dialog);
      return 1;
    case IDC_CANCEL:
      OnCancel(dialog);
      return 1;
    case IDC_BROWSE:
      // Only Cancel is usable while extracting; the controls are disabled, and
      // a command that still arrives must not change the run under the walk.
      if (!context->extracting) OnBrowse(dialog);
      return 1;
    case IDC_GROUP_BOX:
      if (!context->extracting) FlipBox(dialog, IDC_GROUP_BOX, &context->groupChecked);
      return 1;
    case IDC_CLASS_BOX:
      if (!context->extracting) FlipBox(dialog, IDC_CLASS_BOX, &context->classChecked);
      return 1;
    default:
      return 0;
  }
}

void OnDialogTimer(WindowHandle dialog, int timerId) {
  if (timerId == kFolderRefusedTimer) {
    StopTimer(dialog, kFolderRefusedTimer);
    RefuseFolder(dialog);
    return;
  }
  if (timerId != kAutoStartTimer) return;
  StopTimer(dialog, kAutoStartTimer);
  PostCommand(dialog, IDC_OK);
}

void OnDialogClose(WindowHandle /*dialog*/) {
  // Cleared so that a later paint or a second close never uses a freed icon.
  if (dialogIcon != 0) ReleaseIcon(dialogIcon);
  dialogIcon = 0;
}

void OnDdeAcknowledge(WindowHandle dialog, WindowHandle sender) {
  if (ddeState == kDdeInitiating) {
    ddeServer = sender;
    SendProgmanCommand(dialog);
  } else if (ddeState == kDdeExecuting) {
    PostDdeTerminate(ddeServer, dialog);
    ddeState = kDdeFinished;
  } else if (ddeState == kDdeFinished && ddeServer == 0) {
    // The last initiate went unanswered within its bound and was given up:
    // a server that answers it now is told at once that it is over.
    PostDdeTerminate(sender, dialog);
  }
}

// Removes every double quote from text, whose capacity is limit bytes (the
// terminator included): at most limit - 1 bytes are examined and the result is
// always terminated inside the capacity. It compacts in place, since the
// result is never longer than the text. A double quote is never the second byte
// of a double-byte character; a cut at the limit still keeps such a character
// whole.
void RemoveQuotes(char* text, uint32_t limit) {
  if (limit == 0) return;
  uint32_t in = 0;
  uint32_t out = 0;
  while (in < limit - 1 && text[in] != '\0') {
    uint8_t b = static_cast<uint8_t>(text[in]);
    if (b == '"') {
      ++in;
      continue;
    }
    if (IsSjisLeadByte(b) && text[in + 1] != '\0') {
      if (in + 1 >= limit - 1) break;
      text[out++] = text[in++];
    }
    text[out++] = text[in++];
  }
  text[out] = '\0';
}
