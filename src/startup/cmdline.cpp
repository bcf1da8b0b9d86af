// The command line: dropping the program's own name, splitting the tail into
// arguments and reading the options and the destination folder.
#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"
#include "startup/startup.h"

namespace {

constexpr int kArgumentSlots = 1024;

uint8_t Byte(const char* p) { return static_cast<uint8_t>(*p); }

bool IsBlank(uint8_t b) { return b >= 1 && b <= 32; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

const char* SkipProgramName(const char* commandLine) {
  const char* p = commandLine;
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (Byte(p) > 32) ++p;
  }
  while (IsBlank(Byte(p))) ++p;
  return p;
}

// Arguments beyond the 1024 slots are dropped: the options are read from the
// front and reading stops at the destination folder, so only a line of more
// than 1024 options loses anything, and then only its last ones.
char** SplitCommandLine(const char* tail, int* count) {
  *count = 0;
  char** arguments = static_cast<char**>(AllocZeroed(kArgumentSlots * sizeof(char*)));
  if (arguments == nullptr) return nullptr;

  const char* p = tail;
  while (*count < kArgumentSlots) {
    while (IsBlank(Byte(p))) ++p;
    if (*p == '\0') break;

    const char* start = p;
    bool quoting = false;
    const char* end = nullptr;
    for (;;) {
      uint8_t b = Byte(p);
      if (!quoting && b <= 32) {
        end = p;
        break;
      }
      if (quoting && b < 32) {
        end = p;
        break;
      }
      if (b == '"') {
        if (!quoting) {
          // Bytes of this argument before an opening quote are dropped.
          quoting = true;
          ++p;
          start = p;
          continue;
        }
        // A closing quote ends the argument; what follows it is the next one.
        end = p;
        ++p;
        break;
      }
      ++p;
    }

    uint32_t length = static_cast<uint32_t>(end - start);
    char* argument = static_cast<char*>(AllocZeroed(length + 1));
    if (argument == nullptr) break;
    memcpy(argument, start, length);
    argument[length] = '\0';
    arguments[(*count)++] = argument;
  }
  return arguments;
}

void FreeArguments(char** arguments, int count) {
  if (arguments == nullptr) return;
  for (int i = count - 1; i >= 0; --i) FreeMemory(arguments[i]);
  FreeMemory(arguments);
}

void ReadOptions(char** arguments, int count) {
  if (arguments == nullptr) return;
  for (int position = 0; position < count; ++position) {
    const char* argument = arguments[position];
    if (argument[0] == '-') {
      // A lone "-" has no second byte, and then no third one to look at.
      if (argument[1] == '\0') continue;
      char option = LowerAscii(argument[1]);
      bool minus = argument[2] == '-';
      if (option == 'n') {
        autoStart = minus ? kOptionNoAutoStart : kOptionAutoStart;
      } else if (option == 'c') {
        skipNotNewer = minus ? 1 : 0;
      }
      continue;
    }
    if (position == 0) continue;
    // The destination folder ends the reading. It must fit installFolder
    // whole: a cut folder would send the files somewhere nobody named. A
    // longer one is refused, and the dialog says so and waits for the user;
    // so is one whose bytes the system's code page would read otherwise.
    if (TextLength(argument) < kInstallFolderCap && CarriesText(argument)) {
      CopyText(context->config.installFolder, argument, kInstallFolderCap);
    } else {
      destinationRefused = 1;
    }
    return;
  }
}
