// Destination paths: separator rewriting and the scans that must step over
// double-byte characters, the case-sensitive prefix test, the directory macros
// with the host's special folders, and the join of folder and entry name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/testing/host_platform.h"

namespace {

// A text in a buffer of the given capacity, with guard bytes after it that no
// routine may touch.
class Buffer {
 public:
  Buffer(const std::string& text, size_t capacity) : bytes_(capacity + kGuard, '#') {
    EXPECT_LT(text.size(), capacity);
    std::copy(text.begin(), text.end(), bytes_.begin());
    bytes_[text.size()] = '\0';
    capacity_ = capacity;
  }
  char* data() { return bytes_.data(); }
  std::string text() const { return std::string(bytes_.data()); }
  bool GuardIntact() const {
    for (size_t i = capacity_; i < bytes_.size(); ++i) {
      if (bytes_[i] != '#') return false;
    }
    return true;
  }

 private:
  static constexpr size_t kGuard = 16;
  std::vector<char> bytes_;
  size_t capacity_;
};

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFolders(); }
  static void ResetFolders() {
    hostplatform::Reset();
    isWin32s = 0;
    hostplatform::SetWindowsDirectory("D:\\WINDOWS");
    hostplatform::SetSystemDirectory("D:\\WINDOWS\\SYSTEM");
    hostplatform::SetTempDirectory("D:\\TEMP\\");
  }
  void TearDown() override { isWin32s = 0; }

  // The expansion as JoinDestPath runs it: the base name is taken first.
  static std::string Expand(const std::string& name) {
    Buffer text(name, kEntryNameCap);
    ExpandDirMacro(text.data(), kEntryNameCap, FindBaseName(text.data()));
    EXPECT_TRUE(text.GuardIntact());
    return text.text();
  }

  static std::string Join(const std::string& folder, const std::string& name) {
    Buffer output("", kOutputPathCap);
    Buffer entry(name, kEntryNameCap);
    JoinDestPath(output.data(), folder.c_str(), entry.data());
    EXPECT_TRUE(output.GuardIntact());
    EXPECT_TRUE(entry.GuardIntact());
    return output.text();
  }
};

// "表" is 0x95 0x5C and "ソ" 0x83 0x5C in code page 932: a second byte equal
// to the backslash.
const std::string kHyo = "\x95\x5C";
const std::string kSo = "\x83\x5C";

TEST_F(PathTest, NormaliseRewritesAllThreeSeparatorsButNeverASecondByte) {
  Buffer text("a\\b/c\xFF" "d" + kHyo + "\\" + kSo + "x", 64);
  NormaliseSeparators(text.data(), '/');
  EXPECT_EQ(text.text(), "a/b/c/d" + kHyo + "/" + kSo + "x");

  NormaliseSeparators(text.data(), '\\');
  EXPECT_EQ(text.text(), "a\\b\\c\\d" + kHyo + "\\" + kSo + "x");
}

TEST_F(PathTest, NormaliseStopsAtTheTerminatorWhereASecondByteIsExpected) {
  // The lead byte is last; the backslash after the terminator is not part of the text.
  std::vector<char> bytes = {'a', '\x95', '\0', '\\', '\0'};
  NormaliseSeparators(bytes.data(), '/');
  EXPECT_EQ(bytes[3], '\\');
  EXPECT_EQ(bytes[1], '\x95');
}

TEST_F(PathTest, FindFirstOfStepsOverDoubleByteCharacters) {
  std::string s = kHyo + "ab\\c";
  std::vector<char> text(s.begin(), s.end());
  text.push_back('\0');
  char* hit = FindFirstOf(text.data(), "\\");
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(hit - text.data(), 4);
  EXPECT_EQ(FindFirstOf(text.data(), "xyz"), nullptr);
  // The second byte 0x5C of the first character is never a hit for the set "\x5C".
  std::string only = kHyo + kSo;
  std::vector<char> text2(only.begin(), only.end());
  text2.push_back('\0');
  EXPECT_EQ(FindFirstOf(text2.data(), "\\"), nullptr);
}

TEST_F(PathTest, BaseNameIsAfterTheLastColonSeparatorOr0xFF) {
  struct Case {
    std::string text;
    std::string base;
  } cases[] = {
      {"a/b\\c:d", "d"},
      {"plain.txt", "plain.txt"},
      {"dir\xFF" "file", "file"},
      {"dir/", ""},
      {"dir/" + kHyo + kSo, kHyo + kSo},   // second bytes 0x5C are not separators
  };
  for (const Case& c : cases) {
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    EXPECT_EQ(std::string(FindBaseName(text.data())), c.base) << c.text;
  }
}

TEST_F(PathTest, ComparePrefixIsCaseSensitiveAndNeedsTheWholePrefix) {
  EXPECT_EQ(ComparePrefix("%WinDir%/x", "%WinDir%", 8), 0);
  EXPECT_NE(ComparePrefix("%windir%/x", "%WinDir%", 8), 0);
  EXPECT_NE(ComparePrefix("%Win", "%WinDir%", 8), 0);          // shorter text
  EXPECT_EQ(ComparePrefix("ab", "ab", 5), 0);                  // both end together
  EXPECT_NE(ComparePrefix("abc", "ab", 5), 0);
  EXPECT_EQ(ComparePrefix("abc", "abd", 2), 0);                // only count bytes
  EXPECT_EQ(ComparePrefix("x", "y", 0), 0);
}

TEST_F(PathTest, FindPrefixNamesTheFirstWordThatBeginsTheText) {
  static const char kWords[] = "%A%\0%AB%\0x";
  struct Case {
    const char* text;
    int count;
    int index;
    uint32_t length;
  } const cases[] = {
      {"%A%/y", 3, 0, 3}, {"%AB%", 3, 1, 4}, {"xyz", 3, 2, 1},
      {"xyz", 2, -1, 0},   // the last word is not looked at
      {"%A", 3, -1, 0},    {"", 3, -1, 0},   {"%A%", 0, -1, 0},
  };
  for (const Case& c : cases) {
    uint32_t length = 0;
    EXPECT_EQ(FindPrefix(c.text, kWords, c.count, &length), c.index) << c.text << c.count;
    EXPECT_EQ(length, c.length) << c.text << c.count;
  }
}

TEST_F(PathTest, ReadMachineStringFallsBackToTheDefault) {
  char out[32];
  ReadMachineString("SOFTWARE\\X", "V", "default", out, sizeof out);
  EXPECT_STREQ(out, "default");
  hostplatform::SetMachineString("SOFTWARE\\X", "V", "value");
  ReadMachineString("SOFTWARE\\X", "V", "default", out, sizeof out);
  EXPECT_STREQ(out, "value");
}

TEST_F(PathTest, MacrosExpandAtTheStartWithBackslashes) {
  const std::string kKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  struct Case {
    const char* name;
    const char* expanded;
    const char* programFiles;   // registry value, null: none
    int win32s;
    const char* found;          // search result for x.dll, null: none
  } cases[] = {
      {"%WinDir%/SYSTEM/x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll", nullptr, 0, nullptr},
      {"%SystemDir%/x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll", nullptr, 0, nullptr},
      {"%WORK%x.tmp", "D:\\TEMP\\x.tmp", nullptr, 0, nullptr},
      {"%WORK%/x.tmp", "D:\\TEMP\\\\x.tmp", nullptr, 0, nullptr},   // no seam removed
      {"%ProgramFiles%/Tool/a.exe", "D:\\Tool\\a.exe", nullptr, 0, nullptr},
      {"%ProgramFiles%/Tool/a.exe", "D:\\Program Files\\Tool\\a.exe", "D:\\Program Files", 0,
       nullptr},
      {"%ProgramFiles%/Tool/a.exe", "D:\\Tool\\a.exe", "D:\\Program Files", 1, nullptr},
      {"%Search%/x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll", nullptr, 0, nullptr},
      {"%Search%/x.dll", "E:\\APPS\\BIN\\x.dll", nullptr, 0, "E:\\APPS\\BIN\\x.dll"},
      {"%windir%/x", "%windir%\\x", nullptr, 0, nullptr},            // other case
      {"dir/%WinDir%/x", "dir\\%WinDir%\\x", nullptr, 0, nullptr},  // not at the start
  };
  for (const Case& c : cases) {
    ResetFolders();
    if (c.programFiles) hostplatform::SetMachineString(kKey, "ProgramFilesDir", c.programFiles);
    if (c.found) hostplatform::AddSearchResult("x.dll", c.found);
    isWin32s = c.win32s;
    EXPECT_EQ(Expand(c.name), c.expanded) << c.name << " win32s " << c.win32s;
  }
  // With an empty base name "%Search%" is not a macro: nothing is replaced.
  Buffer folder("%Search%/sub", kInstallFolderCap);
  ExpandDirMacro(folder.data(), kInstallFolderCap, "");
  EXPECT_EQ(folder.text(), "%Search%\\sub");
}

TEST_F(PathTest, AnExpansionThatWouldNotFitLeavesTheNameUnexpanded) {
  std::string longDir = "D:\\" + std::string(240, 'w');
  hostplatform::SetWindowsDirectory(longDir);
  std::string name = "%WinDir%/" + std::string(20, 'n');
  // 243 + 21 bytes exceed the 255 bytes of the work text.
  EXPECT_EQ(Expand(name), "%WinDir%\\" + std::string(20, 'n'));

  // Just within the work text it expands.
  std::string fits = "%WinDir%/" + std::string(11, 'n');
  EXPECT_EQ(Expand(fits), longDir + "\\" + std::string(11, 'n'));

  // The caller's smaller capacity bounds it too.
  hostplatform::SetWindowsDirectory("D:\\WINDOWS");
  Buffer small("%WinDir%/abcdef", 16);
  ExpandDirMacro(small.data(), 16, "abcdef");
  EXPECT_EQ(small.text(), "%WinDir%\\abcdef");
  EXPECT_TRUE(small.GuardIntact());
}

TEST_F(PathTest, TrailingSeparatorLooksAtTheWholeLastCharacter) {
  struct Case {
    std::string path;
    size_t capacity;
    std::string result;
  } cases[] = {
      {"D:\\Apps", 64, "D:\\Apps/"},
      {"D:\\", 64, "D:\\"},
      {"x/", 64, "x/"},
      {"D:\\" + kHyo, 64, "D:\\" + kHyo + "/"},   // a final second byte 0x5C is no separator
      {"abc", 4, "abc"},                       // no room: nothing appended
  };
  for (const Case& c : cases) {
    Buffer text(c.path, c.capacity);
    EnsureTrailingSeparator(text.data(), static_cast<uint32_t>(c.capacity));
    EXPECT_EQ(text.text(), c.result);
    EXPECT_TRUE(text.GuardIntact());
  }
}

TEST_F(PathTest, JoinFollowsTheFormOfTheName) {
  hostplatform::AddSearchResult("x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll");
  const char* cases[][3] = {
      {"D:\\Apps\\Tool", "a/b.txt", "D:\\Apps\\Tool/a\\b.txt"},
      {"D:\\", "a/b.txt", "D:\\a\\b.txt"},
      {"D:\\Apps", "/x.txt", "D:\\x.txt"},
      {"\\Apps", "/x.txt", "\\x.txt"},
      {"D:\\Apps", "E:/x.txt", "E:\\x.txt"},
      {"D:", "a/b.txt", "D:a\\b.txt"},
      {"", "a/b.txt", "a\\b.txt"},
      {"C:\\Elsewhere", "%WinDir%/SYSTEM/x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll"},
      // The base name is taken before the expansion overwrites the name.
      {"C:\\Apps", "%Search%/x.dll", "D:\\WINDOWS\\SYSTEM\\x.dll"},
  };
  for (const auto& c : cases) EXPECT_EQ(Join(c[0], c[1]), c[2]) << c[0] << " + " << c[1];
}

TEST_F(PathTest, ASecondByte5CInTheFolderSurvivesTheJoinAndNormalisation) {
  std::string joined = Join("D:\\" + kHyo, "a");
  EXPECT_EQ(joined, "D:\\" + kHyo + "/a");
  std::vector<char> text(joined.begin(), joined.end());
  text.push_back('\0');
  NormaliseSeparators(text.data(), '/');
  EXPECT_EQ(std::string(text.data()), "D:/" + kHyo + "/a");
}

TEST_F(PathTest, TheLongestFolderAndNameFitTheOutputExactly) {
  std::string folder = "D:\\" + std::string(252, 'f');   // 255 bytes
  std::string name = std::string(259, 'n');
  std::string joined = Join(folder, name);
  EXPECT_EQ(joined.size(), kOutputPathCap - 1);
  EXPECT_EQ(joined, folder + "/" + name);
}

// A character that code page 932 cannot hold, as the system's folders bring
// it in: "é" of C:\Users\José.
std::string Foreign(uint16_t unit) {
  char bytes[4];
  EncodeForeignUnit(unit, bytes);
  return std::string(bytes, 4);
}

TEST(ForeignUnitTest, EveryUnitComesBackFromTwoDoubleByteCharactersWithoutAsciiBytes) {
  for (uint32_t unit = 0x80; unit <= 0xFFFF; ++unit) {
    std::string bytes = Foreign(static_cast<uint16_t>(unit));
    ASSERT_EQ(DecodeForeignUnit(bytes.c_str()), unit);
    ASSERT_EQ(CharLength(&bytes[0]), 2u) << unit;
    ASSERT_EQ(CharLength(&bytes[2]), 2u) << unit;
    // No separator, colon, dot or second byte 0x5C can come of it.
    for (char c : bytes) ASSERT_GE(static_cast<uint8_t>(c), 0x80) << unit;
  }
}

TEST(ForeignUnitTest, OnlyTwoWholePairsDecode) {
  const std::string e = Foreign(0xE9);
  const struct {
    std::string text;
    uint32_t unit;
  } cases[] = {
      {e + "\\Desktop", 0xE9},
      {e.substr(0, 2), 0},                      // the text ends after one pair
      {e.substr(0, 3), 0},                      // ... or inside the second
      {e.substr(0, 2) + "ab", 0},               // an ordinary character follows
      {"\x87\x80" + e.substr(2), 0},           // a lead byte code page 932 assigns
      {e.substr(0, 3) + "\x5C", 0},             // a second byte outside 0x80-0xBF
      {e.substr(0, 1) + "\xC0" + e.substr(2), 0},
      {kHyo + kSo, 0},
      {"", 0},
      {"\x85\x80\x86\x9C", 0},   // would be 0x5C, the backslash
      {"\x85\x80\x86\x80" + e, 0},   // would be 0x40
      {"\x85\x80\xEB\x80", 0x80},   // the first unit past ASCII
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeForeignUnit(c.text.c_str()), c.unit) << c.text;
}

TEST_F(PathTest, AFolderWithForeignCharactersIsJoinedAndNormalisedUnchanged) {
  const std::string folder = "C:\\Users\\Jos" + Foreign(0xE9) + "\\" + Foreign(0x263A);
  EXPECT_FALSE(EndsInSeparator(folder.c_str(), static_cast<uint32_t>(folder.size())));
  std::string joined = Join(folder, kHyo + ".txt");
  EXPECT_EQ(joined, folder + "/" + kHyo + ".txt");
  std::vector<char> text(joined.begin(), joined.end());
  text.push_back('\0');
  NormaliseSeparators(text.data(), '\\');
  EXPECT_EQ(std::string(text.data()), folder + "\\" + kHyo + ".txt");
}

}  // namespace
