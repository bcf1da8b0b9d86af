#include "names.h"

#include <string.h>

#include "core/context.h"
#include "host_os.h"

namespace sfxbuild {
namespace {

// What the stub makes "_" in a component on a volume with long names; the
// colon and the separators are refused before.
bool IsReplaced(uint8_t b) { return strchr("\"*<>?|", b) != nullptr && b != 0; }

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
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string NameOnWindows(const std::string& sjis) {
  std::string out;
  for (size_t i = 0; i < sjis.size(); i += CharLength(&sjis[i])) {
    uint8_t b = static_cast<uint8_t>(sjis[i]);
    if (CharLength(&sjis[i]) == 2) {
      out += sjis.substr(i, 2);
    } else {
      out.push_back(IsReplaced(b) ? '_' : static_cast<char>(b));
    }
  }
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  return out;
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
                                    "LPT1-9), which no file can have");
  if (report->errors.size() != before) return;
  std::string onWindows = NameOnWindows(sjis);
  if (onWindows.empty()) {
    report->errors.push_back(path + ": nothing is left once Windows drops the trailing dots and "
                                    "blanks");
    return;
  }
  if (onWindows != sjis) {
    std::string why = replaced ? "the self-extractor makes \" * < > ? | \"_\"" : "";
    if (onWindows.size() != sjis.size())
      why += std::string(why.empty() ? "" : ", and ") + "Windows drops trailing dots and blanks";
    report->warnings.push_back(path + ": " + why + "; it is extracted as \"" + parent +
                               hostos::ToUtf8(onWindows) + "\"");
  }
}

}  // namespace sfxbuild
