// Both readings of the setup script over arbitrary bytes. The first byte
// chooses the conditions (boxes marked, Win32s, a folder given, a Program
// Manager that answers, acknowledges or stays silent, two answering windows);
// the rest is the script. Every member the readings write must end inside its
// capacity, and no key written below the classes root may exceed the key
// buffer.
#include <stdlib.h>
#include <string.h>

#include "core/context.h"
#include "core/text.h"
#include "fuzz_support.h"
#include "platform/testing/host_platform.h"
#include "setup/setup.h"
#include "ui/scripted/scripted_ui.h"

namespace {

struct Member {
  char* text;
  uint32_t capacity;
};

void CheckTerminated(const ExtractContext* c) {
  const Member members[] = {
      {const_cast<char*>(c->config.windowTitle), kTitleCap},
      {const_cast<char*>(c->config.installTitle), kTitleCap},
      {const_cast<char*>(c->config.installFolder), kInstallFolderCap},
      {const_cast<char*>(c->config.command), kCommandCap},
      {const_cast<char*>(c->classBoxTitle), kBoxTitleCap},
      {const_cast<char*>(c->groupBoxTitle), kBoxTitleCap},
      {const_cast<char*>(c->extension), kExtensionCap},
      {const_cast<char*>(c->classDescription), kClassDescriptionCap},
      {const_cast<char*>(c->programPath), kProgramPathCap},
      {const_cast<char*>(c->className), kClassNameCap},
      {const_cast<char*>(c->groupName), kGroupNameCap},
      {const_cast<char*>(c->itemName), kItemNameCap},
      {const_cast<char*>(c->iconPath), kIconPathCap},
      {const_cast<char*>(c->formattedText), kFormattedCap},
  };
  for (const Member& m : members) {
    if (memchr(m.text, 0, m.capacity) == nullptr) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::BeginRun();
  if (size > 0) {
    uint8_t flags = data[0];
    ExtractContext* c = context;
    size_t n = size - 1 < kScriptCap - 1 ? size - 1 : kScriptCap - 1;
    memcpy(c->scriptBuffer, data + 1, n);
    c->scriptBuffer[n] = '\0';
    CopyText(c->destFolder, (flags & 0x40) ? "C:\\Program Files\\A long folder name" : "C:\\D",
             kDestFolderCap);
    if (flags & 0x04) CopyText(c->config.installFolder, "C:\\given", kInstallFolderCap);
    isWin32s = (flags & 0x08) != 0;
    if (flags & 0x10) scripted::SetProgmanServer(0x700);
    if (flags & 0x20) scripted::SetExecuteUnacknowledged(true);
    if (flags & 0x80) scripted::SetSecondInitiateAnswer(0x701);
    hostplatform::SetClockStep(1000);   // the conversation's bound in a few turns

    ApplySetupScript();
    CheckTerminated(c);
    if (c->classChecked > 1 || c->groupChecked > 1) abort();
    if (!(flags & 0x01)) c->classChecked = 0;
    if (!(flags & 0x02)) c->groupChecked = 0;
    RunSetupActions(scripted::kDialogWindow);
    CheckTerminated(c);
    if (ddeState != 0 && ddeState != -1) abort();   // every conversation ended
    for (const hostplatform::ClassesRootWrite& w : hostplatform::ClassesRootWrites()) {
      if (w.key.empty() || w.key.size() >= 80) abort();
    }
    if (scripted::SettingsBroadcasts() != 1) abort();
    isWin32s = 0;
    ddeState = 0;
  }
  fuzz::EndInput();
  return 0;
}
