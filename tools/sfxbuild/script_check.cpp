#include "script_check.h"

#include <string.h>

#include "core/context.h"
#include "host_os.h"
#include "setup/setup.h"

namespace sfxbuild {
namespace {

// Room for the class key and its longest subkey in the stub's key buffer.
constexpr size_t kKeyRoom = 79;
const char kOpenCommandKey[] = "\\shell\\open\\command";

struct Line {
  int number;
  const char* start;
};

// The stub's lines (runs of bytes of 32 and above), each with the number a
// text editor shows for it.
std::vector<Line> Lines(const std::string& text) {
  std::vector<Line> lines;
  const char* base = text.c_str();
  const char* p = base;
  int number = 1;
  const char* counted = base;
  while ((p = NextScriptLine(p)) != nullptr) {
    for (; counted < p; ++counted) {
      if (*counted == '\n' || (*counted == '\r' && counted[1] != '\n')) ++number;
    }
    lines.push_back({number, p});
    while (static_cast<uint8_t>(*p) >= 32) ++p;
  }
  return lines;
}

std::string Quoted(const std::string& sjis) { return "\"" + hostos::ToUtf8(sjis) + "\""; }

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The keyword this line would have been with another letter case, or 0.
int CaseInsensitiveKeyword(const char* p) {
  for (int code = 1; code <= 8; ++code) {
    const char* keyword = DirectiveKeyword(code);
    size_t n = strlen(keyword), i = 0;
    while (i < n && AsciiUpper(p[i]) == AsciiUpper(keyword[i])) ++i;
    if (i == n) return code;
  }
  return 0;
}

std::string LineText(const char* p, size_t limit) {
  size_t n = 0;
  while (n < limit && static_cast<uint8_t>(p[n]) >= 32) ++n;
  return std::string(p, n);
}

struct Checker {
  std::vector<ScriptWarning>* out;
  int line;
  void Warn(const std::string& text) { out->push_back({line, text}); }

  void Title(const char* what, const std::string& value, size_t room) {
    if (value.size() > room)
      Warn(std::string(what) + " is " + std::to_string(value.size()) + " bytes: the stub cuts it to " +
           std::to_string(room));
  }

  // Splits as the stub does; false (with a warning) when the stub leaves the
  // line out. The second field (a description or an item name, only shown)
  // is cut instead.
  bool Fields(const std::string& value, const char* const names[4], const size_t caps[4],
              std::string fields[4]) {
    const char* p = value.c_str();
    bool whole = true;
    for (int i = 0; i < 4; ++i) {
      std::vector<char> field(caps[i] + 1, '\0');
      const char* before = p;
      if (!NextField(&p, field.data(), static_cast<uint32_t>(caps[i] + 1))) {
        // Measured again without a bound, for the message.
        std::vector<char> all(value.size() + 1, '\0');
        NextField(&before, all.data(), static_cast<uint32_t>(all.size()));
        std::string what = std::string("the ") + names[i] + " " + Quoted(all.data()) +
                           " is longer than " + std::to_string(caps[i]) + " bytes: ";
        if (i == 1) {
          Warn(what + "the stub cuts it to " + std::to_string(strlen(field.data())));
        } else {
          Warn(what + "the line is left out");
          whole = false;
        }
      }
      fields[i] = field.data();
    }
    return whole;
  }
};

}  // namespace

std::vector<ScriptDirective> ReadScriptDirectives(const std::string& sjis) {
  std::vector<ScriptDirective> out;
  char value[kValueChars + 1];
  for (const Line& l : Lines(sjis)) {
    const char* p = l.start;
    int code = MatchDirective(&p);
    if (code == kNoDirective) continue;
    TakeValue(p, value);
    out.push_back({l.number, code, DirectiveKeyword(code), value});
  }
  return out;
}

std::vector<ScriptWarning> CheckSetupScript(const std::string& sjis, bool folderGiven) {
  std::vector<ScriptWarning> warnings;
  bool classTitle = false, groupTitle = false, folderSet = folderGiven;
  for (const ScriptDirective& d : ReadScriptDirectives(sjis)) {
    classTitle |= d.code == kClassTitle;
    groupTitle |= d.code == kGroupTitle;
  }
  char value[kValueChars + 1];
  for (const Line& l : Lines(sjis)) {
    Checker c{&warnings, l.number};
    const char* p = l.start;
    int code = MatchDirective(&p);
    if (code == kNoDirective) {
      const char* q = l.start;
      while (*q == ' ') ++q;
      int near = CaseInsensitiveKeyword(q);
      std::string keyword = near != 0 ? DirectiveKeyword(near) : "";
      if (near != 0 && q != l.start) {
        c.Warn("a blank before " + Quoted(LineText(q, keyword.size())) +
               ": the line is ignored");
      } else if (near != 0) {
        c.Warn(Quoted(LineText(q, keyword.size())) + " is not a keyword (letter case): the line "
               "is ignored; the keyword is " + Quoted(keyword));
      } else if (*q == '$') {
        std::string text = LineText(q, 40);
        size_t eq = text.find('=');
        c.Warn("unknown keyword " + Quoted(eq == std::string::npos ? text : text.substr(0, eq + 1)) +
               ": the line is ignored");
      }
      continue;
    }
    const char* end = TakeValue(p, value);
    std::string v = value;
    if (static_cast<size_t>(end - p) > kValueChars)
      c.Warn("the value is " + std::to_string(end - p) + " bytes: the stub takes the first " +
             std::to_string(v.size()) + " and ignores the rest of the line");
    switch (code) {
      case kWindowTitle:
        c.Title("the window title", v, kTitleCap - 1);
        break;
      case kInstallTitle:
        c.Title("the install title", v, kTitleCap - 1);
        break;
      case kClassTitle:
        c.Title("the title of the association box", v, kBoxTitleCap - 1);
        break;
      case kGroupTitle:
        c.Title("the title of the Start-menu box", v, kBoxTitleCap - 1);
        break;
      case kInstallDir:
        if (folderSet && !v.empty()) {
          c.Warn(std::string(folderGiven ? "the self-extractor names a folder (--folder)"
                                         : "an earlier line names the folder") +
                 ": this \"$InstallDir=\" is ignored");
        }
        folderSet |= !v.empty();
        break;
      case kClass: {
        if (!classTitle) c.Warn("no \"$ClassTitle=\" line: the association is never made");
        static const char* const names[4] = {"extension", "description", "program", "class name"};
        static const size_t caps[4] = {kExtensionCap - 1, kClassDescriptionCap - 1,
                                       kProgramPathCap - 1, kClassNameCap - 1};
        std::string f[4];
        if (!c.Fields(v, names, caps, f)) break;
        if (f[0].empty() || f[3].empty())
          c.Warn("the extension and the class name must not be empty: the line is left out");
        else if (f[3].size() + strlen(kOpenCommandKey) > kKeyRoom)
          c.Warn("the class name is " + std::to_string(f[3].size()) + " bytes: with \"" +
                 kOpenCommandKey + "\" its key exceeds " + std::to_string(kKeyRoom) +
                 " bytes, so the line is left out");
        else if (f[0][0] != '.')
          c.Warn("the extension " + Quoted(f[0]) + " does not begin with a dot");
        if (f[2].empty()) c.Warn("no program: the association would open nothing");
        break;
      }
      case kGroup: {
        if (!groupTitle) c.Warn("no \"$GroupTitle=\" line: the Start-menu item is never made");
        static const char* const names[4] = {"group name", "item name", "program", "icon"};
        static const size_t caps[4] = {kGroupNameCap - 1, kItemNameCap - 1, kProgramPathCap - 1,
                                       kIconPathCap - 1};
        std::string f[4];
        if (!c.Fields(v, names, caps, f)) break;
        if (f[1].find_first_of(",)") != std::string::npos)
          c.Warn("the item name " + Quoted(f[1]) +
                 " holds \",\" or \")\", which changes the meaning of the Program Manager command");
        if (f[2].empty()) c.Warn("no program: the item would start nothing");
        break;
      }
      default:
        break;
    }
  }
  return warnings;
}

}  // namespace sfxbuild
