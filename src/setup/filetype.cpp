// File-type associations of "$Class=" lines: four keys below the classes root,
// or, under Win32s, one entry of the "Extensions" section of WIN.INI.
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"
#include "setup/setup.h"
#include "core/texts.h"

namespace {

constexpr uint32_t kKeyCap = 80;
constexpr uint32_t kShortPathCap = 256;
constexpr char kOpenCommandKey[] = "\\shell\\open\\command";
constexpr char kIconKey[] = "\\DefaultIcon";

bool IsAbsolute(const char* path) {
  return path[0] == '\\' || path[0] == '/' || (path[0] != '\0' && path[1] == ':');
}

}  // namespace

int MakeShortPath(char* path) {
  char joined[kShortPathCap];
  // A path that already names its place (a drive or the root) is not joined:
  // below the destination folder it would name nothing.
  if (IsAbsolute(path)) {
    CopyText(joined, path, kShortPathCap);
  } else {
    const char* folder = context->destFolder;
    uint32_t folderLength = TextLength(folder);
    uint32_t pathLength = TextLength(path);
    bool separator = folderLength != 0 && !EndsInSeparator(folder, folderLength);
    // A cut path would name another file.
    if (folderLength + separator + pathLength >= kShortPathCap) return 0;
    CopyText(joined, folder, kShortPathCap);
    if (separator) AppendText(joined, "\\", kShortPathCap);
    AppendText(joined, path, kShortPathCap);
  }
  // Without a short form (the file is missing) the full path still names the
  // right file, where the bare relative path would resolve elsewhere.
  char shortForm[kShortPathCap];
  const char* result = GetShortPath(joined, shortForm, kShortPathCap) != 0 ? shortForm : joined;
  CopyText(path, result, kShortPathCap);
  return 1;
}

void LowerCaseExtension(char* text) {
  for (char* p = text; *p != '\0'; p += CharLength(p)) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + ('a' - 'A'));
  }
}

// A key path that would not fit the 80-byte key buffer is never written cut:
// it is left out, and one that fits needs no copy.
void SetClassKeyValue(const char* keyPath, const char* text) {
  if (TextLength(keyPath) >= kKeyCap) return;
  SetClassesRootDefault(keyPath, TEXT_CLASS_STRING, text);
}

void RegisterFileType() {
  ExtractContext* c = context;
  // An empty extension would name the root's own value, or no key in WIN.INI.
  if (c->extension[0] == '\0') return;
  if (!MakeShortPath(c->programPath)) return;
  NormaliseSeparators(c->programPath, '\\');
  LowerCaseExtension(c->extension);

  char* text = c->formattedText;
  if (isWin32s) {
    // WIN.INI's entry names no class: the class name plays no part here.
    FormatText(text, kFormattedCap, "%s ^%s", c->programPath, c->extension);
    WriteProfileEntry("Extensions", c->extension + 1, text);
    return;
  }
  // An empty class name would write the default value of the classes root
  // itself; a class whose longest key does not fit is left out whole rather
  // than registered in part.
  uint32_t classLength = TextLength(c->className);
  if (classLength == 0 || classLength + sizeof kOpenCommandKey > kKeyCap) return;
  FormatText(text, kFormattedCap, "\"%s\" \"%%1\"", c->programPath);
  SetClassKeyValue(c->extension, c->className);
  SetClassKeyValue(c->className, c->classDescription);
  char* suffix = c->className + classLength;
  CopyText(suffix, kOpenCommandKey, kClassNameCap - classLength);
  SetClassKeyValue(c->className, text);
  FormatText(text, kFormattedCap, "%s,0", c->programPath);
  CopyText(suffix, kIconKey, kClassNameCap - classLength);
  SetClassKeyValue(c->className, text);
}
