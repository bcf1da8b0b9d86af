// Output names adapted to the destination volume, the display form of the
// current file, and the directories on a path. A double-byte character is
// always kept or dropped whole, and its second byte is never replaced.
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"

bool IsForbiddenNameByte(uint8_t b, int longNames) {
  if (longNames) {
    switch (b) {
      case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\':
      case '|':
        return true;
      default:
        return false;
    }
  }
  if (b >= 0x01 && b <= 0x20) return true;
  switch (b) {
    case '"': case '*': case '+': case ',': case '.': case '/': case ':': case ';':
    case '<': case '=': case '>': case '?': case '[': case '\\': case ']': case '|':
    case 0xFF:
      return true;
    default:
      return false;
  }
}

namespace {

constexpr uint32_t kShortBaseMax = 8;
constexpr uint32_t kShortExtensionMax = 3;
constexpr uint32_t kFileTitleCap = 256;

// The last component of a path as the display shows it when the system gives
// no file title (a directory path ends with "/"): that component with its
// final slash, cut to whole characters within the capacity.
void FallbackTitle(const char* path, char* title, uint32_t capacity) {
  uint32_t length = TextLength(path);
  uint32_t end = length;
  if (end > 0 && path[end - 1] == '/') --end;
  uint32_t start = 0;
  for (uint32_t i = 0; i < end; i += CharLength(path + i)) {
    if (path[i] == '/' || path[i] == '\\' || path[i] == ':') start = i + 1;
  }
  CopyText(title, path + start, capacity);
}

}  // namespace

char* CleanNameRun(char* text, uint32_t count, int longNames) {
  uint32_t i = 0;
  bool secondExpected = false;
  for (; i < count && text[i] != '\0'; ++i) {
    uint8_t b = static_cast<uint8_t>(text[i]);
    if (secondExpected) {
      secondExpected = false;
    } else if (IsSjisLeadByte(b)) {
      secondExpected = true;
    } else if (IsForbiddenNameByte(b, longNames)) {
      text[i] = '_';
    }
  }
  // A lead byte whose second byte was not reached is dropped with its character.
  if (secondExpected) --i;
  text[i] = '\0';
  return text + i;
}

namespace {

void SanitiseComponent(char* component, int longNames) {
  if (longNames) {
    CleanNameRun(component, kLongComponentMax, longNames);
    return;
  }
  char* dot = nullptr;
  for (char* p = component; *p != '\0'; ++p) {
    if (*p == '.') dot = p;
  }
  if (dot == nullptr) {
    CleanNameRun(component, kShortBaseMax, longNames);
    return;
  }
  *dot = '\0';
  char* baseEnd = CleanNameRun(component, kShortBaseMax, longNames);
  char* extension = dot + 1;
  char* extensionEnd = CleanNameRun(extension, kShortExtensionMax, longNames);
  *baseEnd = '.';
  memmove(baseEnd + 1, extension, static_cast<uint32_t>(extensionEnd - extension) + 1);
}

}  // namespace

void SanitisePath(char* path, int longNames) {
  char* read = path;
  char* write = path;
  if (*read == '/') {
    ++read;
    ++write;
  }
  for (;;) {
    char* slash = read;
    while (*slash != '\0' && *slash != '/') ++slash;
    bool last = *slash == '\0';
    *slash = '\0';
    SanitiseComponent(read, longNames);
    uint32_t length = TextLength(read);
    memmove(write, read, length);
    write += length;
    if (last) {
      *write = '\0';
      return;
    }
    *write++ = '/';
    read = slash + 1;
  }
}

int QueryLongNameVolume(const char* destFolder) {
  uint32_t maxLength;
  if (destFolder[0] != '\0' && destFolder[1] == ':') {
    char root[4] = {destFolder[0], ':', '\\', '\0'};
    maxLength = QueryMaxComponentLength(root);
  } else {
    maxLength = QueryMaxComponentLength(nullptr);
  }
  return maxLength == 255;
}

// The output is messageText (1024 bytes); the longest form is a 27-byte prefix,
// ".../" and a 255-byte title.
void MakeDisplayName(char* output, const char* path, uint32_t limit) {
  uint32_t length = TextLength(path);
  if (length < limit) {
    CopyText(output, path, kMessageCap);
    return;
  }
  char title[kFileTitleCap];
  if (!GetDisplayTitle(path, title, kFileTitleCap) || title[0] == '\0') {
    FallbackTitle(path, title, kFileTitleCap);
  }
  title[kFileTitleCap - 1] = '\0';
  uint32_t titleLength = TextLength(title);
  output[0] = '\0';
  if (limit > titleLength + 4) {
    uint32_t n = limit - titleLength - 4;
    // The prefix ends on a whole character, so that a cut lead byte cannot
    // swallow the first dot of ".../".
    uint32_t keep = WholeCharLength(path, n - 1);
    memcpy(output, path, keep);
    output[keep] = '\0';
  }
  AppendText(output, ".../", kMessageCap);
  AppendText(output, title, kMessageCap);
}

void CreatePathDirs(const char* path) {
  char work[kOutputPathCap];
  for (uint32_t i = 0; path[i] != '\0' && i < kOutputPathCap - 1; ++i) {
    if (path[i] == '/') {
      work[i] = '\0';
      MakeDirectory(work);
    }
    work[i] = path[i];
  }
}
