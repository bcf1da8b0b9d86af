// The order of the whole run, from the platform entry to the exit status.
#include "core/context.h"
#include "core/texts.h"
#include "files/files.h"
#include "platform/platform.h"
#include "run/run.h"
#include "startup/startup.h"
#include "ui/ui.h"

namespace {

void ReleaseContext() {
  FreeMemory(context);
  context = nullptr;
}

}  // namespace

int RunProgram(InstanceHandle instance, const char* commandTail) {
  // A failed version query is taken as a full 32-bit system: the Win32s
  // fallbacks are only for a system that says it is one.
  uint32_t platformId = 0;
  isWin32s = QueryPlatformId(&platformId) && platformId == 0;
  instanceHandle = instance;

  context = static_cast<ExtractContext*>(AllocZeroed(sizeof(ExtractContext)));
  if (context == nullptr) {
    // The block is not read yet, so its title is not known.
    ShowBox(0, TEXT_NO_MEMORY, TEXT_DEFAULT_TITLE, kBoxOk | kIconError);
    return 0;
  }

  GetOwnModulePath(instance, context->ownPath, kOwnPathCap);
  ReadConfig(context);

  int count = 0;
  char** arguments = SplitCommandLine(commandTail, &count);
  skipNotNewer = 1;
  autoStart = kAutoStartOff;
  destinationRefused = 0;
  ReadOptions(arguments, count);
  FreeArguments(arguments, count);
  overwriteWithoutAsking = (context->config.flags & kFlagOverwrite) != 0;

  // The command line overrides the block in both directions.
  if (autoStart == kOptionAutoStart) {
    autoStart = kAutoStartOn;
  } else if (autoStart == kOptionNoAutoStart) {
    autoStart = kAutoStartOff;
  } else {
    autoStart = (context->config.flags & kFlagAutoStart) != 0 ? kAutoStartOn : kAutoStartOff;
  }
  // Nothing starts by itself towards a folder nobody named.
  if (destinationRefused) autoStart = kAutoStartOff;

  WalkResult scanned = WalkArchive(0, kScanPass);
  if (scanned == kWalkEndsRun) AbortRun(1);
  if (scanned != kWalkDone) {
    ReleaseContext();
    return 0;
  }

  ExpandDirMacro(context->config.installFolder, kInstallFolderCap, "");
  if (context->config.installFolder[0] == '\0') {
    GetCurrentDirectory(context->config.installFolder, kInstallFolderCap);
  }

  int result = RunMainDialog(instanceHandle);
  ReleaseContext();
  return result;
}
