// The setup script as the stub will read it, for the builder: its directives,
// and a warning for every line that the stub would silently ignore or change.
// The lines and keywords are found by the stub's own routines.
#pragma once

#include <string>
#include <vector>

namespace sfxbuild {

struct ScriptDirective {
  int line = 0;              // 1-based, counted by line feeds (or lone carriage returns)
  int code = 0;              // the stub's directive code, 1 to 8
  std::string keyword;       // "$WindowTitle=" etc.
  std::string value;         // Shift-JIS, as the stub takes it (at most 255 bytes)
};

struct ScriptWarning {
  int line = 0;
  std::string text;          // UTF-8
};

// Every directive the stub recognises, in script order.
std::vector<ScriptDirective> ReadScriptDirectives(const std::string& sjis);

// What the stub would ignore or change: keywords in another letter case or
// after blanks, unknown keywords, values cut or too long for their member,
// lines whose box the script never announces, item names that change the
// Program Manager command. folderGiven: the block names a folder, so every
// "$InstallDir=" line is ignored.
std::vector<ScriptWarning> CheckSetupScript(const std::string& sjis, bool folderGiven);

}  // namespace sfxbuild
