// Output names adapted to long-name and 8.3 volumes (with Shift-JIS names),
// the display form of the current file, the volume query and the directories
// created on the way to an output path.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/context.h"
#include "files/files.h"
#include "names.h"
#include "platform/testing/host_platform.h"

namespace fs = std::filesystem;

namespace {

// The adaptation as the walk calls it: a drive letter and colon stay untouched.
std::string Adapt(const std::string& path, bool longNames) {
  std::vector<char> text(path.begin(), path.end());
  text.push_back('\0');
  char* p = text.data();
  if (p[0] != '\0' && p[1] == ':') p += 2;
  SanitisePath(p, longNames ? 1 : 0);
  return std::string(text.data());
}

std::string Display(const std::string& path) {
  std::vector<char> out(kMessageCap, '#');
  MakeDisplayName(out.data(), path.c_str(), 32);
  return std::string(out.data());
}

// True when no double-byte character of the text is cut.
bool WholeCharacters(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (IsSjisLeadByte(static_cast<uint8_t>(s[i]))) {
      if (i + 1 >= s.size()) return false;
      ++i;
    }
  }
  return true;
}

TEST(SanitiseLong, ForbiddenCharactersBecomeUnderscores) {
  EXPECT_EQ(Adapt("D:/Program Files/My Tool/readme.text", true),
            "D:/Program Files/My Tool/readme.text");
  EXPECT_EQ(Adapt("D:/x/b*c?.t|x", true), "D:/x/b_c_.t_x");
  EXPECT_EQ(Adapt("D:/a\"b<c>d", true), "D:/a_b_c_d");
  // The drive colon stays; a later colon does not.
  EXPECT_EQ(Adapt("D:/x/a:b", true), "D:/x/a_b");
}

TEST(SanitiseLong, ComponentsAreCutTo255BytesOfWholeCharacters) {
  std::string longName(300, 'a');
  std::string adapted = Adapt("D:/" + longName + "/f", true);
  EXPECT_EQ(adapted, "D:/" + std::string(255, 'a') + "/f");

  // A double-byte character across byte 255 is dropped whole.
  std::string straddle = std::string(254, 'a') + "\x83\x5C" + "b";
  EXPECT_EQ(Adapt("D:/" + straddle, true), "D:/" + std::string(254, 'a'));
}

TEST(Sanitise83, ComponentsAreCutToEightAndThree) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"D:/Program Files/My Tool/readme.text", "D:/Program_/My_Tool/readme.tex"},
      {"D:/Apps/long name.html", "D:/Apps/long_nam.htm"},
      {"D:/a/archive.tar.gz", "D:/a/archive_.gz"},
      {"D:/a/a+b,c;d=e[f].txt", "D:/a/a_b_c_d_.txt"},
      {"D:/a/.profile", "D:/a/.pro"},
      {"D:/a/name.", "D:/a/name."},
      {"D:/a/abcdefghijkl", "D:/a/abcdefgh"},
      {"D:/a/tab\tand\x01" "c", "D:/a/tab_and_"},
  };
  for (const Case& c : cases) EXPECT_EQ(Adapt(c.in, false), c.out) << c.in;
}

TEST(Sanitise83, DoubleByteCharactersAreKeptOrDroppedWhole) {
  EXPECT_EQ(Adapt("D:/日本語のファイル名.txt", false), "D:/日本語の.txt");
  EXPECT_EQ(Adapt("D:/ソフト表示.txt", false), "D:/ソフト表.txt");
  EXPECT_EQ(Adapt("D:/abcdefgソ.txt", false), "D:/abcdefg.txt");
  // Half-width katakana are single bytes outside both sets.
  EXPECT_EQ(Adapt("D:/ｲﾝｽﾄｰﾙ.txt", false), "D:/ｲﾝｽﾄｰﾙ.txt");
}

TEST(SanitiseBothModes, SecondBytesAreNeverReplaced) {
  // ソ = 83 5C, ポ = 83 7C, 表 = 95 5C: second bytes equal to "\" and "|".
  for (bool longNames : {true, false}) {
    EXPECT_EQ(Adapt("D:/ソポ表", longNames), "D:/ソポ表") << longNames;
  }
}

TEST(SanitiseBothModes, SlashesLeadingRepeatedAndFinalStay) {
  for (bool longNames : {true, false}) {
    EXPECT_EQ(Adapt("D:/a/b/", longNames), "D:/a/b/");
    EXPECT_EQ(Adapt("//server/share/x", longNames), "//server/share/x");
    EXPECT_EQ(Adapt("a//b", longNames), "a//b");
  }
  // Components that get shorter compact the path in place.
  EXPECT_EQ(Adapt("/verylongname1/verylongname2/f.txt", false), "/verylong/verylong/f.txt");
}

TEST(CleanNameRun, ALeadByteWithoutItsSecondByteIsDropped) {
  char beforeEnd[] = "ab\x83";
  char* end = CleanNameRun(beforeEnd, 8, 0);
  EXPECT_EQ(end - beforeEnd, 2);
  EXPECT_STREQ(beforeEnd, "ab");

  char atCount[] = "abc\x83\x5C" "d";
  end = CleanNameRun(atCount, 4, 1);
  EXPECT_EQ(end - atCount, 3);
  EXPECT_STREQ(atCount, "abc");
}

// The builder's prediction of a stored name (NameOnWindows, and whether
// CheckComponentName warns) against what the stub makes of it on a volume
// with long names, with what Windows then drops (trailing dots and blanks).
std::string StubThenWindows(const std::string& component) {
  std::string out = Adapt(component, true);
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  return out;
}

TEST(NameRules, TheBuilderPredictsWhatTheStubMakesOfAName) {
  std::vector<std::string> names = {
      "plain.txt", "a\"b", "what?.txt", "x*y<z>|", "trailing. . ", "\x83\x5C.txt",
      "\x95\x5C\x8E\xA6", "\x81\x7C|", "\x88\x9F\x81", "ok\xFFname", "\xE0\x40?",
      std::string(255, 'n'), std::string(254, 'n') + "\x88\x9F", std::string(258, 'm'),
      std::string(250, 'p') + "?????" + "...",
  };
  // Every single byte the stub might replace, alone between two letters.
  for (int b = 0x21; b <= 0xFF; ++b) {
    if (b == '/' || b == '\\' || b == ':' || IsSjisLeadByte(static_cast<uint8_t>(b))) continue;
    names.push_back(std::string("a") + static_cast<char>(b) + "b");
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string stub = StubThenWindows(name);
    EXPECT_EQ(sfxbuild::NameOnWindows(name), stub);
    sfxbuild::NameReport report;
    sfxbuild::CheckComponentName(name, "", "shown", &report);
    if (report.errors.empty()) {
      // A warning exactly when the stub (or Windows) changes the name.
      EXPECT_EQ(report.warnings.size(), stub == name ? 0u : 1u);
    }
  }
}

TEST(DisplayName, ShortPathsAreShownWholeLongOnesShortened) {
  EXPECT_EQ(Display("D:/Program Files/My Tool/readme.text"), "D:/Program Files.../readme.text");
  std::string thirtyOne = "D:/abcdefghij/klmnopqrst/uv.txt";
  ASSERT_EQ(thirtyOne.size(), 31u);
  EXPECT_EQ(Display(thirtyOne), thirtyOne);

  std::string title27(27, 't');
  EXPECT_EQ(Display("D:/some/folder/" + title27), ".../" + title27);
  std::string title40(40, 't');
  EXPECT_EQ(Display("D:/" + title40), ".../" + title40);
  std::string title26(26, 't');
  EXPECT_EQ(Display("D:/some/folder/" + title26), "D.../" + title26);
}

TEST(DisplayName, ADirectoryPathShowsItsLastComponent) {
  std::string path = "D:/Program Files/My Tool/images/";
  ASSERT_GE(path.size(), 32u);
  std::string shown = Display(path);
  // 32 - 7 - 4 = 21: the first 20 bytes, ".../" and the component with its slash.
  EXPECT_EQ(shown, path.substr(0, 20) + ".../images/");
  EXPECT_LE(shown.size(), 31u);
}

TEST(DisplayName, APrefixEndsOnAWholeCharacter) {
  // With the 11-byte title the prefix takes 16 bytes; the 16th is a lead byte.
  std::string path = std::string("D:/") + std::string(12, 'a') + "表" + "/more/dirs/readme.text";
  std::string shown = Display(path);
  EXPECT_TRUE(WholeCharacters(shown.substr(0, shown.find(".../")))) << shown;
  EXPECT_NE(shown.find(".../readme.text"), std::string::npos);
  EXPECT_LE(shown.size(), 31u);
}

TEST(DisplayName, TheLongestTitleStaysWithinTheMessageText) {
  std::string title(255, 'z');
  std::string shown = Display("D:/" + title);
  EXPECT_EQ(shown, ".../" + title);
  EXPECT_LT(shown.size(), kMessageCap);
}

TEST(VolumeQuery, OnlyAMaximumOf255SelectsLongNames) {
  hostplatform::Reset();
  hostplatform::SetMaxComponentLength(255);
  EXPECT_EQ(QueryLongNameVolume("D:\\Apps"), 1);
  EXPECT_EQ(QueryLongNameVolume(""), 1);
  hostplatform::SetMaxComponentLength(254);
  EXPECT_EQ(QueryLongNameVolume("D:"), 0);
  hostplatform::SetMaxComponentLength(12);
  EXPECT_EQ(QueryLongNameVolume("relative"), 0);
  hostplatform::SetMaxComponentLength(0);   // the query fails
  EXPECT_EQ(QueryLongNameVolume("D:\\"), 0);
  hostplatform::Reset();
}

TEST(CreatePathDirs, EveryPrefixBeforeASlashIsCreated) {
  char pattern[] = "/tmp/namestest.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string root = pattern;

  CreatePathDirs((root + "/a/b/file.txt").c_str());
  EXPECT_TRUE(fs::is_directory(root + "/a/b"));
  EXPECT_FALSE(fs::exists(root + "/a/b/file.txt"));

  // A directory entry's path ends with its separator and is created whole.
  CreatePathDirs((root + "/c/d/").c_str());
  EXPECT_TRUE(fs::is_directory(root + "/c/d"));

  // Existing prefixes and repeated slashes are harmless.
  CreatePathDirs((root + "//a//e/").c_str());
  EXPECT_TRUE(fs::is_directory(root + "/a/e"));

  fs::remove_all(root);
}

}  // namespace
