// The setup script: its lines and directives, read once during the scan pass
// (titles, folder, check boxes, command) and once after the extraction (file
// types and Program Manager items).
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "setup/setup.h"
#include "ui/ui.h"

namespace {

// Every byte from 1 to 31 ends a line; NUL ends the script.
bool IsLineByte(char c) { return static_cast<uint8_t>(c) >= 32; }

struct Keyword {
  const char* text;
  uint8_t length;
};
// Tried in this order; the length includes the "=".
const Keyword kKeywords[] = {
    {"$WindowTitle=", 13}, {"$InstallTitle=", 14}, {"$InstallDir=", 12},
    {"$ClassTitle=", 12},  {"$Class=", 7},         {"$GroupTitle=", 12},
    {"$Group=", 7},        {"$Command=", 9},
};

struct Field {
  char* target;
  uint32_t capacity;
};

// Splits a value into its four fields. A field that names something (an
// extension, a class, a group, a file) and is longer than its member is not
// cut: a cut one would name something nobody asked for, so the whole line is
// left out. The second field of both directives, a class description or an
// item name, is only shown to people: it is cut at a whole character, as
// titles are.
int SplitFields(const char* value, const Field (&fields)[4]) {
  int fits = 1;
  for (int i = 0; i < 4; ++i) {
    fits &= NextField(&value, fields[i].target, fields[i].capacity) | (i == 1);
  }
  return fits;
}

}  // namespace

const char* NextScriptLine(const char* text) {
  while (*text != '\0' && !IsLineByte(*text)) ++text;
  return *text == '\0' ? nullptr : text;
}

int MatchDirective(const char** position) {
  // A keyword holds no control byte, so a comparison never matches across
  // the end of the line.
  for (int i = 0; i < 8; ++i) {
    const Keyword& k = kKeywords[i];
    if (ComparePrefix(*position, k.text, k.length) == 0) {
      *position += k.length;
      return i + 1;
    }
  }
  return kNoDirective;
}

const char* DirectiveKeyword(int code) {
  return code >= 1 && code <= 8 ? kKeywords[code - 1].text : "";
}

const char* TakeValue(const char* text, char* value) {
  uint32_t n = 0;
  while (n < kValueChars && IsLineByte(text[n])) ++n;
  n = WholeCharLength(text, n);
  memcpy(value, text, n);
  value[n] = '\0';
  text += n;
  while (IsLineByte(*text)) ++text;
  return text;
}

int NextField(const char** position, char* target, uint32_t capacity) {
  const char* p = *position;
  uint32_t n = 0;
  int quoted = 0;
  int fits = 1;
  while (IsLineByte(*p)) {
    char c = *p++;
    if (c == '"') {
      quoted ^= 1;
      continue;
    }
    if (c == ',' && !quoted) break;
    if (n + 1 < capacity) {
      target[n++] = c;
    } else {
      fits = 0;
    }
  }
  if (capacity != 0) target[WholeCharLength(target, n)] = '\0';
  *position = p;
  return fits;
}

// Both readings of the script: the next line from text on, its directive's
// code (kNoDirective for none) and its value; nullptr after the last line.
static const char* NextDirective(const char* text, int* code, char* value) {
  text = NextScriptLine(text);
  if (text == nullptr) return nullptr;
  *code = MatchDirective(&text);
  return TakeValue(text, value);
}

void ApplySetupScript() {
  ExtractContext* c = context;
  char value[kValueChars + 1];
  const char* p = c->scriptBuffer;
  int code;
  while ((p = NextDirective(p, &code, value)) != nullptr) {
    // Values longer than a title's member are cut at a whole character: they
    // are only shown.
    switch (code) {
      case kWindowTitle:
        CopyText(c->config.windowTitle, value, kTitleCap);
        break;
      case kInstallTitle:
        CopyText(c->config.installTitle, value, kTitleCap);
        break;
      case kInstallDir:
        // A folder from the block or the command line, or an earlier line, wins.
        if (c->config.installFolder[0] == '\0') {
          CopyText(c->config.installFolder, value, kInstallFolderCap);
        }
        break;
      case kClassTitle:
        c->classChecked = 1;
        CopyText(c->classBoxTitle, value, kBoxTitleCap);
        break;
      case kGroupTitle:
        c->groupChecked = 1;
        CopyText(c->groupBoxTitle, value, kBoxTitleCap);
        break;
      case kCommand:
        CopyText(c->config.command, value, kCommandCap);
        break;
      default:
        break;
    }
  }
}

void RunSetupActions(WindowHandle dialog) {
  ExtractContext* c = context;
  char value[kValueChars + 1];
  const char* p = c->scriptBuffer;
  int code;
  while ((p = NextDirective(p, &code, value)) != nullptr) {
    if (code == kClass && c->classChecked == 1) {
      if (SplitFields(value, {{c->extension, kExtensionCap},
                              {c->classDescription, kClassDescriptionCap},
                              {c->programPath, kProgramPathCap},
                              {c->className, kClassNameCap}})) {
        RegisterFileType();
      }
    } else if (code == kGroup && c->groupChecked == 1) {
      // The paths are settled before the conversation starts: an item whose
      // program cannot be named is not offered to the server at all.
      if (SplitFields(value, {{c->groupName, kGroupNameCap},
                              {c->itemName, kItemNameCap},
                              {c->programPath, kProgramPathCap},
                              {c->iconPath, kIconPathCap}}) &&
          MakeShortPath(c->programPath) &&
          (c->iconPath[0] == '\0' || MakeShortPath(c->iconPath))) {
        StartProgmanConversation(dialog);
        AwaitProgmanConversation(dialog);
      }
    }
  }
  BroadcastSettingsChange();
}
