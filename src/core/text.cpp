#include "core/text.h"

#include "core/context.h"

uint32_t TextLength(const char* text) {
  uint32_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

uint32_t WholeCharLength(const char* text, uint32_t limit) {
  uint32_t i = 0;
  while (i < limit && text[i] != '\0') {
    if (IsSjisLeadByte(static_cast<uint8_t>(text[i]))) {
      if (i + 1 >= limit || text[i + 1] == '\0') break;
      i += 2;
    } else {
      ++i;
    }
  }
  return i;
}

void CopyText(char* dst, const char* src, uint32_t capacity) {
  if (capacity == 0) return;
  uint32_t n = WholeCharLength(src, capacity - 1);
  memmove(dst, src, n);
  dst[n] = '\0';
}

void AppendText(char* dst, const char* src, uint32_t capacity) {
  uint32_t used = TextLength(dst);
  if (used + 1 >= capacity) return;
  CopyText(dst + used, src, capacity - used);
}

int TextEquals(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

int IsAscii(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<uint8_t>(*text) >= 0x80) return 0;
  }
  return 1;
}

void FormatQuoted(char* out, uint32_t capacity, const char* subject, const char* message) {
  FormatText(out, capacity, "\"%s\" %s", subject, message, nullptr, nullptr);
}

void FormatText(char* out, uint32_t capacity, const char* pattern, const char* a,
                const char* b, const char* c, const char* d) {
  if (capacity == 0) return;
  const char* texts[4] = {a, b, c, d};
  uint32_t next = 0;
  out[0] = '\0';
  char one[2] = {0, 0};
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      const char* text = next < 4 ? texts[next++] : nullptr;
      if (text != nullptr) AppendText(out, text, capacity);
      ++p;
      continue;
    }
    if (p[0] == '%' && p[1] == '%') ++p;
    one[0] = *p;
    AppendText(out, one, capacity);
  }
}


namespace {
constexpr char kForeignLeads[4] = {'\x85', '\x86', '\xEB', '\xEC'};
}  // namespace

void EncodeForeignUnit(uint16_t unit, char* out) {
  for (int i = 0; i < 2; ++i) {
    uint32_t part = (i == 0 ? unit >> 8 : unit) & 0xFFu;
    out[2 * i] = kForeignLeads[part >> 6];
    out[2 * i + 1] = static_cast<char>(0x80 | (part & 0x3F));
  }
}

uint32_t DecodeForeignUnit(const char* text) {
  uint32_t unit = 0;
  for (int i = 0; i < 4; i += 2) {
    // 0x85 and 0x86 become 0 and 1, 0xEB and 0xEC 2 and 3.
    uint32_t lead = static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 0x85);
    if (lead >= 2) lead -= 0x64;   // anything else ends up above 3
    uint8_t second = static_cast<uint8_t>(text[i + 1]);
    if (lead > 3 || (second & 0xC0) != 0x80) return 0;
    unit = (unit << 8) | (lead << 6) | (second & 0x3Fu);
  }
  // No such pair stands for an ASCII character: none becomes a separator.
  return unit >= 0x80 ? unit : 0;
}
