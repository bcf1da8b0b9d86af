// Destination paths: separators, directory macros and the join of the
// destination folder with an entry's name. Every scan steps over a Shift-JIS
// double-byte character whole, so its second byte (often 0x5C) is never taken
// for a separator.
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"

namespace {

// The work text of the macro expansion: a directory of the system followed by
// the rest of the name.
constexpr uint32_t kWorkCap = 256;

bool IsSeparator(uint8_t b) { return b == '/' || b == '\\' || b == 0xFF; }

bool HasDriveColon(const char* text) { return text[0] != '\0' && text[1] == ':'; }

// Cuts a found path at its last "\" or "/", leaving its directory without a
// trailing separator; a path without one leaves nothing.
void CutAtLastSeparator(char* path) {
  char* last = nullptr;
  for (char* p = path; *p != '\0'; p += CharLength(p)) {
    if (*p == '\\' || *p == '/') last = p;
  }
  if (last != nullptr) {
    *last = '\0';
  } else {
    path[0] = '\0';
  }
}

// The macros, in the order they are tried.
constexpr char kMacros[] = "%WORK%\0%WinDir%\0%SystemDir%\0%ProgramFiles%\0%Search%";
enum Macro { kMacroWork, kMacroWinDir, kMacroSystemDir, kMacroProgramFiles, kMacroSearch };

// Fills work with the replacement of the macro at the start of text and
// returns the macro's length, or 0 when the text starts with none.
uint32_t ReplaceMacro(const char* text, const char* baseName, char* work) {
  work[0] = '\0';
  uint32_t length = 0;
  switch (FindPrefix(text, kMacros, kMacroSearch + 1, &length)) {
    case kMacroWork:
      GetTempDirectory(work, kWorkCap);
      break;
    case kMacroWinDir:
      GetWindowsDirectory(work, kWorkCap);
      break;
    case kMacroSystemDir:
      GetSystemDirectory(work, kWorkCap);
      break;
    case kMacroProgramFiles:
      if (!isWin32s) {
        ReadMachineString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", "",
                          work, kWorkCap);
      }
      if (work[0] == '\0') {
        // The drive of the Windows directory.
        if (GetWindowsDirectory(work, kWorkCap) >= 2) {
          work[2] = '\0';
        } else {
          work[0] = '\0';
        }
      }
      break;
    case kMacroSearch:
      // Only with a file name to search for.
      if (baseName == nullptr || baseName[0] == '\0') return 0;
      // A result that does not fit the work text counts as not found.
      if (SearchForFile(baseName, work, kWorkCap) != 0) {
        CutAtLastSeparator(work);
      } else {
        GetSystemDirectory(work, kWorkCap);
      }
      break;
    default:
      return 0;
  }
  return length;
}

}  // namespace

void NormaliseSeparators(char* text, char separator) {
  for (char* p = text; *p != '\0'; p += CharLength(p)) {
    if (CharLength(p) == 1 && IsSeparator(static_cast<uint8_t>(*p))) *p = separator;
  }
}

char* FindFirstOf(char* text, const char* set) {
  for (char* p = text; *p != '\0'; p += CharLength(p)) {
    if (CharLength(p) != 1) continue;
    for (const char* s = set; *s != '\0'; ++s) {
      if (*s == *p) return p;
    }
  }
  return nullptr;
}

char* FindBaseName(char* text) {
  static const char kNameEnds[] = {':', '\\', '/', static_cast<char>(0xFF), '\0'};
  char* base = text;
  for (char* hit = FindFirstOf(text, kNameEnds); hit != nullptr;
       hit = FindFirstOf(hit + 1, kNameEnds)) {
    base = hit + 1;
  }
  return base;
}

int ComparePrefix(const char* text, const char* prefix, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (text[i] != prefix[i]) return 1;
    if (text[i] == '\0') return 0;
  }
  return 0;
}

int FindPrefix(const char* text, const char* list, int count, uint32_t* length) {
  for (int i = 0; i < count; ++i) {
    uint32_t n = TextLength(list);
    if (ComparePrefix(text, list, n) == 0) {
      *length = n;
      return i;
    }
    list += n + 1;
  }
  return -1;
}

void ReadMachineString(const char* subkey, const char* valueName, const char* defaultText,
                       char* out, uint32_t capacity) {
  if (capacity == 0) return;
  if (ReadMachineRegistryString(subkey, valueName, out, capacity)) {
    // A value stored without its terminator must not run past the buffer.
    out[capacity - 1] = '\0';
    return;
  }
  CopyText(out, defaultText, capacity);
}

void ExpandDirMacro(char* text, uint32_t capacity, const char* baseName) {
  char work[kWorkCap];
  uint32_t drop = ReplaceMacro(text, baseName, work);
  if (drop != 0) {
    // When the directory and the rest of the name do not fit the work text (or
    // the caller's text), the name is kept unexpanded: a shortened path would
    // name some other file.
    uint32_t used = TextLength(work);
    uint32_t rest = TextLength(text + drop);
    uint32_t room = capacity < kWorkCap ? capacity : kWorkCap;
    if (used + rest < room) {
      memcpy(work + used, text + drop, rest + 1);
      memcpy(text, work, used + rest + 1);
    }
  }
  NormaliseSeparators(text, '\\');
}

bool EndsInSeparator(const char* path, uint32_t length) {
  if (length == 0) return false;
  // By characters: the last byte of 表 or ソ is 0x5C, and no separator.
  const char* last = PreviousChar(path, path + length);
  return last + 1 == path + length && (*last == '\\' || *last == '/');
}

void EnsureTrailingSeparator(char* path, uint32_t capacity) {
  uint32_t length = TextLength(path);
  if (EndsInSeparator(path, length)) return;
  if (length + 1 < capacity) {
    path[length] = '/';
    path[length + 1] = '\0';
  }
}

void JoinDestPath(char* output, const char* folder, char* name) {
  const char* baseName = FindBaseName(name);
  ExpandDirMacro(name, kEntryNameCap, baseName);

  if (HasDriveColon(name)) {
    CopyText(output, name, kOutputPathCap);
    return;
  }
  if (name[0] == '/' || name[0] == '\\') {
    output[0] = '\0';
    if (HasDriveColon(folder)) {
      output[0] = folder[0];
      output[1] = ':';
      output[2] = '\0';
    }
    AppendText(output, name, kOutputPathCap);
    return;
  }
  CopyText(output, folder, kOutputPathCap);
  bool driveOnly = HasDriveColon(folder) && folder[2] == '\0';
  if (folder[0] != '\0' && !driveOnly) EnsureTrailingSeparator(output, kOutputPathCap);
  AppendText(output, name, kOutputPathCap);
}
