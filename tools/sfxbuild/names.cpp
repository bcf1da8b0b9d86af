#include "names.h"

#include <string.h>

#include <vector>

#include "core/context.h"
#include "files/files.h"
#include "host_os.h"

namespace sfxbuild {
namespace {

// What the stub makes "_" in a component on a volume with long names, by its
// own rule; the colon and the separators are refused before.
bool IsReplaced(uint8_t b) {
  return b != ':' && b != '/' && b != '\\' && IsForbiddenNameByte(b, 1);
}

std::string Upper(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 name devices whatever the
// extension: "nul.txt" is the null device too.
bool IsDeviceName(const std::string& sjis) {
  std::string base = sjis.substr(0, sjis.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = Upper(base);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$")
    return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string NameOnWindows(const std::string& sjis) {
  // The stub's own cleaning of a component on a volume with long names.
  std::vector<char> text(sjis.begin(), sjis.end());
  text.push_back('\0');
  CleanNameRun(text.data(), kLongComponentMax, 1);
  std::string out(text.data());
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  return out;
}

namespace {

// The length of the UTF-8 sequence at p (of n bytes left), 0 when invalid.
size_t Utf8Length(const uint8_t* p, size_t n) {
  size_t length = p[0] < 0x80 ? 1 : (p[0] & 0xE0) == 0xC0 ? 2 : (p[0] & 0xF0) == 0xE0 ? 3
                : (p[0] & 0xF8) == 0xF0 ? 4 : 0;
  if (length == 0 || length > n || (length == 2 && p[0] < 0xC2)) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::string FirstWithoutShiftJis(const std::string& utf8) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  for (size_t i = 0; i < utf8.size();) {
    size_t n = Utf8Length(p + i, utf8.size() - i);
    if (n == 0) return std::string();
    i += n;
  }
  std::string sjis;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = Utf8Length(p + i, utf8.size() - i);
    std::string character = utf8.substr(i, n);
    if (!hostos::ToShiftJis(character, &sjis)) return character;
    i += n;
  }
  return std::string();
}

bool MatchesPattern(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
      continue;
    }
    bool step = false;
    if (p < pattern.size() && pattern[p] == '[') {
      size_t close = pattern.find(']', p + 2);
      if (close != std::string::npos) {
        bool negate = pattern[p + 1] == '!' || pattern[p + 1] == '^';
        bool found = false;
        for (size_t k = p + 1 + negate; k < close; ++k) {
          if (k + 2 < close && pattern[k + 1] == '-') {
            found |= text[t] >= pattern[k] && text[t] <= pattern[k + 2];
            k += 2;
          } else {
            found |= text[t] == pattern[k];
          }
        }
        if (found != negate) {
          p = close + 1;
          ++t;
          continue;
        }
        step = false;
      } else {
        step = text[t] == '[';
      }
    } else if (p < pattern.size()) {
      step = pattern[p] == '?' || pattern[p] == text[t];
    }
    if (step) {
      ++p;
      ++t;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsShiftJisText(const std::string& bytes) {
  std::string utf8;
  return hostos::FromShiftJis(bytes, &utf8);
}

void CheckComponentName(const std::string& sjis, const std::string& parent, const std::string& shown,
                        NameReport* report) {
  const std::string path = parent + shown;
  bool control = false, colon = false, replaced = false;
  for (size_t i = 0; i < sjis.size(); i += CharLength(&sjis[i])) {
    if (CharLength(&sjis[i]) == 2) continue;
    uint8_t b = static_cast<uint8_t>(sjis[i]);
    control |= b < 0x20 || b == 0x7F;
    colon |= b == ':';
    replaced |= IsReplaced(b);
  }
  size_t before = report->errors.size();
  if (control) report->errors.push_back(path + ": a control character, which Windows refuses");
  if (colon)
    report->errors.push_back(path + ": a colon; the self-extractor takes what stands before it "
                                    "for a drive");
  if (IsDeviceName(sjis))
    report->errors.push_back(path + ": a device name of Windows (CON, PRN, AUX, NUL, COM1-9, "
                                    "LPT1-9, CONIN$, CONOUT$), which no file can have");
  if (report->errors.size() != before) return;
  std::string onWindows = NameOnWindows(sjis);
  if (onWindows.empty()) {
    report->errors.push_back(path + ": nothing is left once Windows drops the trailing dots and "
                                    "blanks");
    return;
  }
  if (onWindows != sjis) {
    std::string why = replaced ? "the self-extractor makes \" * < > ? | \"_\"" : "";
    if (sjis.size() > kLongComponentMax)
      why += std::string(why.empty() ? "" : ", and ") + "the self-extractor cuts a name to " +
             std::to_string(kLongComponentMax) + " bytes";
    else if (onWindows.size() != sjis.size())
      why += std::string(why.empty() ? "" : ", and ") + "Windows drops trailing dots and blanks";
    report->warnings.push_back(path + ": " + why + "; it is extracted as \"" + parent +
                               hostos::ToUtf8(onWindows) + "\"");
  }
}

}  // namespace sfxbuild
