#include <string>
#include <vector>

#include "platform/testing/host_platform.h"
#include "startup/startup.h"
#include "test_support.h"

namespace {

std::vector<std::string> Split(const std::string& tail) {
  int count = -1;
  char** arguments = SplitCommandLine(tail.c_str(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(arguments[i]);
  FreeArguments(arguments, count);
  return out;
}

using Args = std::vector<std::string>;

// Splits and reads the options as start-up does.
void ReadTail(const std::string& tail) {
  int count = 0;
  char** arguments = SplitCommandLine(tail.c_str(), &count);
  ReadOptions(arguments, count);
  FreeArguments(arguments, count);
}

class CommandLineTest : public SfxTest {};

TEST_F(CommandLineTest, ProgramNameIsDroppedWithTheBlanksAfterIt) {
  EXPECT_STREQ(SkipProgramName("sfx.exe -n C:\\Dest"), "-n C:\\Dest");
  EXPECT_STREQ(SkipProgramName("\"C:\\Program Files\\sfx.exe\"  \t-c"), "-c");
  EXPECT_STREQ(SkipProgramName("\"C:\\Program Files\\sfx.exe\"-c"), "-c");
  EXPECT_STREQ(SkipProgramName("sfx.exe\x01\x1f\x20x"), "x");
  EXPECT_STREQ(SkipProgramName("sfx.exe"), "");
  EXPECT_STREQ(SkipProgramName(""), "");
  // Without its closing quote the name takes the whole line.
  EXPECT_STREQ(SkipProgramName("\"C:\\sfx.exe -n C:\\Dest"), "");
}

TEST_F(CommandLineTest, SplittingFollowsTheQuotes) {
  EXPECT_EQ(Split("-n \"C:\\Program Files\\Tool\""), (Args{"-n", "C:\\Program Files\\Tool"}));
  EXPECT_EQ(Split("\"\""), (Args{""}));
  EXPECT_EQ(Split("ab\"c d\"e"), (Args{"c d", "e"}));
  EXPECT_EQ(Split("  a\t\tb  "), (Args{"a", "b"}));
  EXPECT_EQ(Split("\"open to the end"), (Args{"open to the end"}));
  // Inside quotes a control byte still ends the argument; a blank does not.
  // The c then stands before an opening quote, which drops it.
  EXPECT_EQ(Split("\"a b\tc\""), (Args{"a b", ""}));
  EXPECT_EQ(Split(" \t "), Args{});
  EXPECT_EQ(Split(""), Args{});
  // Trail bytes of double-byte characters are never 32 or less, nor a quote.
  EXPECT_EQ(Split("\x95\x5C\x8E\xA6 x"), (Args{"\x95\x5C\x8E\xA6", "x"}));
}

TEST_F(CommandLineTest, ArgumentsBeyondTheSlotsAreDropped) {
  std::string tail;
  for (int i = 0; i < 1100; ++i) tail += "a" + std::to_string(i) + " ";
  Args args = Split(tail);
  ASSERT_EQ(args.size(), 1024u);
  EXPECT_EQ(args.front(), "a0");
  EXPECT_EQ(args.back(), "a1023");
}

TEST_F(CommandLineTest, OnlyTheSlotsWorthOfOptionsAreRead) {
  std::string tail;
  for (int i = 0; i < 1024; ++i) tail += "-n ";
  tail += "-n- C:\\Dest";
  ReadTail(tail);
  EXPECT_EQ(autoStart, 11);
  EXPECT_STREQ(context->config.installFolder, "");
}

TEST_F(CommandLineTest, AllocationFailuresKeepWhatWasFound) {
  hostplatform::FailAllocationsAfter(0);
  int count = -1;
  EXPECT_EQ(SplitCommandLine("-n C:\\Dest", &count), nullptr);
  EXPECT_EQ(count, 0);
  ReadOptions(nullptr, 0);
  FreeArguments(nullptr, 0);
  EXPECT_EQ(autoStart, 0);

  hostplatform::FailAllocationsAfter(3);   // the array and two arguments
  EXPECT_EQ(Split("a b c d"), (Args{"a", "b"}));
}

TEST_F(CommandLineTest, OptionLettersAndTheirMinusForms) {
  struct Case {
    const char* tail;
    int autoStart;
    int skipNotNewer;
  } cases[] = {
      {"", 0, 1},           {"-n", 11, 1},     {"-N", 11, 1},      {"-n-", 12, 1},
      {"-N-", 12, 1},       {"-nx", 11, 1},    {"-c", 0, 0},       {"-C", 0, 0},
      {"-c-", 0, 1},        {"-cz", 0, 0},     {"- -x -q", 0, 1},  {"-n -n-", 12, 1},
      {"-n- -n", 11, 1},    {"-c -c-", 0, 1},  {"-c- -c", 0, 0},   {"-n- -c", 12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    autoStart = 0;
    skipNotNewer = 1;
    ReadTail(c.tail);
    EXPECT_EQ(autoStart, c.autoStart);
    EXPECT_EQ(skipNotNewer, c.skipNotNewer);
    EXPECT_STREQ(context->config.installFolder, "");
  }
}

TEST_F(CommandLineTest, FirstArgumentIsNeverTheFolder) {
  ReadTail("C:\\Dest");
  EXPECT_STREQ(context->config.installFolder, "");
}

TEST_F(CommandLineTest, FolderAfterAnOption) {
  ReadTail("-n C:\\Dest");
  EXPECT_EQ(autoStart, 11);
  EXPECT_STREQ(context->config.installFolder, "C:\\Dest");
}

TEST_F(CommandLineTest, ReadingStopsAtTheFolder) {
  ReadTail("x C:\\Dest -c -n");
  EXPECT_STREQ(context->config.installFolder, "C:\\Dest");
  EXPECT_EQ(skipNotNewer, 1);
  EXPECT_EQ(autoStart, 0);
}

TEST_F(CommandLineTest, QuotedFolderWithBlanks) {
  ReadTail("-c \"C:\\My Files\\\x95\x5C\x8E\xA6\"");
  EXPECT_EQ(skipNotNewer, 0);
  EXPECT_STREQ(context->config.installFolder, "C:\\My Files\\\x95\x5C\x8E\xA6");
}

// Where the system's ANSI code page is not 932, a byte from 0x80 on is a
// character of that page (0xE9 is an e with an accent in 1252) and a lead byte
// here, which a copy would drop at the end or pair with a separator.
TEST_F(CommandLineTest, OnAnotherCodePageOnlyAnAsciiFolderIsTaken) {
  hostplatform::SetForeignCodePage(true);
  ReadTail("-c C:\\Users\\Jos\xE9");
  EXPECT_STREQ(context->config.installFolder, "");
  EXPECT_EQ(destinationRefused, 1);
  EXPECT_EQ(skipNotNewer, 0);

  destinationRefused = 0;
  ReadTail("-c \"C:\\Jos\xE9\" -n");
  EXPECT_EQ(destinationRefused, 1);

  destinationRefused = 0;
  ReadTail("-c C:\\Users\\Jose");
  EXPECT_EQ(destinationRefused, 0);
  EXPECT_STREQ(context->config.installFolder, "C:\\Users\\Jose");

  // On code page 932 the same bytes stay what they were.
  hostplatform::SetForeignCodePage(false);
  ReadTail("-c C:\\\x95\x5C");
  EXPECT_STREQ(context->config.installFolder, "C:\\\x95\x5C");
}

TEST_F(CommandLineTest, FolderLongerThanTheInstallFolderIsNotTaken) {
  std::string fits(kInstallFolderCap - 1, 'f');
  ReadTail("-c " + fits);
  EXPECT_EQ(std::string(context->config.installFolder), fits);

  context->config.installFolder[0] = '\0';
  skipNotNewer = 1;
  ReadTail("-n " + fits + "g -c");
  EXPECT_STREQ(context->config.installFolder, "");
  EXPECT_EQ(destinationRefused, 1);
  EXPECT_EQ(autoStart, 11);
  EXPECT_EQ(skipNotNewer, 1);   // reading stopped at the refused folder
}

}  // namespace
