// The rules a stored name must keep so that the self-extractor can create it
// on Windows under that name: what is refused (the file would fail or vanish)
// and what is only changed (the stub replaces a character, Windows drops a
// trailing dot or blank).
#pragma once

#include <string>
#include <vector>

namespace sfxbuild {

struct NameReport {
  std::vector<std::string> errors;     // "PATH: rule", UTF-8
  std::vector<std::string> warnings;   // "PATH: rule; stored as NAME"
};

// Checks one component (Shift-JIS bytes) of a stored name; parent is the
// shown path of the folders above it ("" or ending in "/"), shown the
// component as the user wrote it.
void CheckComponentName(const std::string& sjis, const std::string& parent, const std::string& shown,
                        NameReport* report);

// The component as Windows will hold it: the characters the stub replaces on
// a volume with long names made "_", trailing dots and blanks dropped.
std::string NameOnWindows(const std::string& sjis);

// True when the bytes are a valid Shift-JIS (code page 932) text.
bool IsShiftJisText(const std::string& bytes);

// For valid UTF-8 text: its first character that has no Shift-JIS form (""
// when all have one). Empty too when the text is not UTF-8 at all.
std::string FirstWithoutShiftJis(const std::string& utf8);

// A shell pattern (*, ?, [set], [!set]) against the whole of text; "*" and
// "?" match "/" too.
bool MatchesPattern(const std::string& pattern, const std::string& text);

}  // namespace sfxbuild
