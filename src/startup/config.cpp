// The configuration block at file offset 512 of the program's own file.
#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"
#include "startup/startup.h"
#include "core/texts.h"

namespace {

// The block comes from outside the program: a field without a NUL inside its
// width is cut at its last whole character.
void TerminateField(char* field, uint32_t width) {
  for (uint32_t i = 0; i < width; ++i) {
    if (field[i] == '\0') return;
  }
  field[WholeCharLength(field, width - 1)] = '\0';
}

void ReadBlock(ExtractContext* c) {
  SfxConfig& config = c->config;
  FileHandle file = OpenExistingForRead(c->ownPath);
  if (file == 0) return;
  uint32_t reached = 0;
  if (SeekFile(file, kConfigOffset, &reached) && reached == kConfigOffset) {
    uint32_t got = 0;
    if (!ReadFromFile(file, &config, kConfigSize, &got) || got > kConfigSize) got = 0;
    // What was not read stays zero.
    memset(reinterpret_cast<uint8_t*>(&config) + got, 0, kConfigSize - got);
  }
  CloseFile(file);
}

}  // namespace

void ReadConfig(ExtractContext* c) {
  SfxConfig& config = c->config;
  ReadBlock(c);
  TerminateField(config.windowTitle, kTitleCap);
  TerminateField(config.installTitle, kTitleCap);
  TerminateField(config.installFolder, kInstallFolderCap);
  TerminateField(config.command, kCommandCap);

  if (config.windowTitle[0] == '\0') CopyText(config.windowTitle, TEXT_DEFAULT_TITLE, kTitleCap);
}
