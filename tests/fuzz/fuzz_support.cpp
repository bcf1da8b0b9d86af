#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "archive/archive.h"
#include "core/context.h"
#include "core/text.h"
#include "decode/decode.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "ui/scripted/scripted_ui.h"

namespace fuzz {

namespace {

ExtractContext* ownContext = nullptr;

std::string TempName(const char* what) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/sfx-fuzz-" + std::to_string(getpid()) + "-" +
         what;
}

const std::string& ArchivePath() {
  static const std::string path = TempName("archive.bin");
  return path;
}

// The output's scratch file lives for the whole process; a replay or fuzz run
// must not leave it behind in the temporary folder.
void RemoveScratchFiles() { remove(OutputPath().c_str()); }

}  // namespace

const std::string& OutputPath() {
  static const std::string path = TempName("output.bin");
  return path;
}

void BeginRun() {
  static bool once = false;
  if (!once) {
    once = true;
    // The names first: statics made after the registration would be gone
    // before the handler runs.
    ArchivePath();
    OutputPath();
    atexit(RemoveScratchFiles);
    ownContext = static_cast<ExtractContext*>(malloc(sizeof(ExtractContext)));
  }
  hostplatform::Reset();
  scripted::Reset();
  memset(ownContext, 0, sizeof(ExtractContext));
  context = ownContext;
  CopyText(context->ownPath, ArchivePath().c_str(), kOwnPathCap);
  CopyText(context->outputPath, OutputPath().c_str(), kOutputPathCap);
  CopyText(context->config.windowTitle, "fuzz", kTitleCap);
  MakeCrcTable(context, kCrcPolynomial);
}

void BeginInput(const uint8_t* data, size_t size) {
  BeginRun();
  // The input is the archive's file, read from memory: no file per input.
  hostplatform::SetMemoryFile(ArchivePath(), data, size);
  context->archiveHandle = OpenExistingForRead(ArchivePath().c_str());
  if (context->archiveHandle == 0) abort();
  context->archiveSize = GetFileSizeOf(context->archiveHandle);
}

void EndInput() {
  constexpr FileHandle kClosed = ~static_cast<FileHandle>(0);
  if (context->outputHandle != 0 && context->outputHandle != kClosed &&
      context->outputHandle != kMemoryMarker) {
    CloseFile(context->outputHandle);
  }
  if (context->archiveHandle != 0 && context->archiveHandle != kClosed) {
    CloseFile(context->archiveHandle);
  }
  context->outputHandle = 0;
  context->archiveHandle = 0;
  ReleaseEntryHeader(context);
}

}  // namespace fuzz
