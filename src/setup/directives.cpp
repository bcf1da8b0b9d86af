// The setup script's lines and directives, as both readings take them (and
// the builder's checks).
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "setup/setup.h"

namespace {

// Every byte from 1 to 31 ends a line; NUL ends the script.
bool IsLineByte(char c) { return static_cast<uint8_t>(c) >= 32; }

// The keywords, in the order of their codes (1 to 8).
constexpr char kKeywords[] =
    "$WindowTitle=\0$InstallTitle=\0$InstallDir=\0$ClassTitle=\0$Class=\0$GroupTitle=\0"
    "$Group=\0$Command=";

}  // namespace

const char* NextScriptLine(const char* text) {
  while (*text != '\0' && !IsLineByte(*text)) ++text;
  return *text == '\0' ? nullptr : text;
}

int MatchDirective(const char** position) {
  // A keyword holds no control byte, so a comparison never matches across
  // the end of the line.
  uint32_t length = 0;
  int index = FindPrefix(*position, kKeywords, 8, &length);
  if (index < 0) return kNoDirective;
  *position += length;
  return index + 1;
}

const char* DirectiveKeyword(int code) {
  if (code < 1 || code > 8) return "";
  const char* keyword = kKeywords;
  for (int i = 1; i < code; ++i) keyword += TextLength(keyword) + 1;
  return keyword;
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
