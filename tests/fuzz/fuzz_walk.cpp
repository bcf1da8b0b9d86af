// The whole walk on arbitrary self-extractors: the scan pass and, when it
// succeeds, the extract pass into a fresh folder. Input layout:
//   byte 0      bit 0: the volume keeps long names (else 8.3)
//               bit 1: skipNotNewer          bit 2: overwriteWithoutAsking
//               bit 3: Win32s (TZ applies)   bit 4: the install folder, as the
//               scan pass left it, is the destination (else the sandbox's)
//               bit 7: the rest is the whole file; else it is the block and
//               the archive, laid out at 512 and after the block
//   byte 1      the message pump at which the user presses Cancel (0: never)
//   bytes 2-3   the answers to the first eight boxes, two bits each:
//               Yes, No, Cancel, OK
// Names in an archive reach outside the destination by design (drive letters,
// leading separators, "..", macros), so the special folders lie inside a
// per-run sandbox, the platform refuses to change anything outside it, and
// the sandbox is removed after each input.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "run/run.h"
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "startup/startup.h"
#include "ui/scripted/scripted_ui.h"
#include "ui/ui.h"

namespace {

const std::string& SandboxRoot() {
  static const std::string root = [] {
    const char* dir = getenv("TMPDIR");
    std::string base = dir && *dir ? dir : "/tmp";
    std::error_code error;
    std::filesystem::path real = std::filesystem::weakly_canonical(base, error);
    if (!error) base = real.string();
    return base + "/sfx-fuzz-" + std::to_string(getpid()) + "-walk";
  }();
  return root;
}

void MakeSandbox() {
  const std::string& root = SandboxRoot();
  std::error_code error;
  std::filesystem::remove_all(root, error);
  for (const char* sub : {"", "/dest", "/temp", "/windows/system32", "/programs", "/current"}) {
    std::filesystem::create_directories(root + sub, error);
    if (error) abort();
  }
  hostplatform::SetSandboxRoot(root);
  hostplatform::SetTempDirectory(root + "/temp/");
  hostplatform::SetWindowsDirectory(root + "/windows");
  hostplatform::SetSystemDirectory(root + "/windows/system32");
  hostplatform::SetCurrentDirectoryText(root + "/current");
  hostplatform::SetMachineString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                 "ProgramFilesDir", root + "/programs");
}

void RemoveSandbox() {
  std::error_code error;
  std::filesystem::remove_all(SandboxRoot(), error);
  if (error) abort();
}

void MustBeTerminated(const char* text, uint32_t capacity) {
  if (memchr(text, 0, capacity) == nullptr) __builtin_trap();
}

void CheckTexts() {
  const SfxConfig& config = context->config;
  MustBeTerminated(config.windowTitle, kTitleCap);
  MustBeTerminated(config.installTitle, kTitleCap);
  MustBeTerminated(config.installFolder, kInstallFolderCap);
  MustBeTerminated(config.command, kCommandCap);
  MustBeTerminated(context->entryName, kEntryNameCap);
  MustBeTerminated(context->destFolder, kDestFolderCap);
  MustBeTerminated(context->outputPath, kOutputPathCap);
  MustBeTerminated(context->messageText, kMessageCap);
  MustBeTerminated(context->scriptBuffer, kScriptCap);
}

// A walk that returned closed the archive and every output file it opened.
void CheckWalkEnded() {
  if (context->archiveHandle != 0) __builtin_trap();
  if (context->outputHandle != 0 && context->outputHandle != kMemoryMarker) __builtin_trap();
  CheckTexts();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t options = data[0];
  std::vector<uint8_t> file;
  if (options & 0x80) {
    file.assign(data + 4, data + size);
  } else {
    file.assign(kConfigOffset, 0);
    file.insert(file.end(), data + 4, data + size);
  }

  fuzz::BeginInput(file.data(), file.size());
  // The walk opens the own file itself.
  CloseFile(context->archiveHandle);
  context->archiveHandle = 0;
  context->outputPath[0] = '\0';
  MakeSandbox();
  hostplatform::SetMaxComponentLength((options & 1) ? 255 : 12);
  skipNotNewer = (options >> 1) & 1;
  overwriteWithoutAsking = (options >> 2) & 1;
  isWin32s = (options >> 3) & 1;
  hostplatform::SetEnvironment("TZ", "JST-9");
  static const int kAnswers[4] = {kAnswerYes, kAnswerNo, kAnswerCancel, kAnswerOk};
  const uint16_t answers = static_cast<uint16_t>(data[2] | data[3] << 8);
  for (int i = 0; i < 8; ++i) scripted::QueueAnswer(kAnswers[(answers >> (2 * i)) & 3]);

  ReadConfig(context);
  CheckTexts();
  WalkResult scanned = WalkArchive(0, kScanPass);
  CheckWalkEnded();
  if (scanned == kWalkDone) {
    ExpandDirMacro(context->config.installFolder, kInstallFolderCap, "");
    CheckTexts();
    if (options & 0x10) {
      CopyText(context->destFolder, context->config.installFolder, kDestFolderCap);
    } else {
      CopyText(context->destFolder, (SandboxRoot() + "/dest").c_str(), kDestFolderCap);
    }
    // As the dialog's OK handler leaves it: a Cancel only asks the sink to stop.
    context->extracting = 1;
    if (data[1] != 0) scripted::QueuePumpCommand(data[1], IDC_CANCEL);
    WalkArchive(scripted::kDialogWindow, kExtractPass);
    // A walk that ends the run has deleted its partly written file too.
    CheckWalkEnded();
  }
  fuzz::EndInput();
  hostplatform::SetSandboxRoot("");
  RemoveSandbox();
  return 0;
}
