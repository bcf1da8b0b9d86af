// The setup script's lines and directives, as both readings take them (and
// the builder's checks).
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "setup/setup.h"

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

const char* NextDirective(const char* text, int* code, char* value) {
  text = NextScriptLine(text);
  if (text == nullptr) return nullptr;
  *code = MatchDirective(&text);
  return TakeValue(text, value);
}
