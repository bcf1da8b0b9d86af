#include <string>

#include "core/text.h"
#include "platform/testing/host_platform.h"
#include "startup/startup.h"
#include "test_support.h"
#include "core/texts.h"

namespace {

struct Block {
  uint32_t archiveOffset = 0;
  std::string windowTitle, installTitle, installFolder, command;   // padded with NULs
  uint8_t flags = 0;
  uint8_t restoreAttributes = 0;
};

std::string Field(const std::string& text, size_t width) {
  std::string f = text.substr(0, width);
  f.resize(width, '\0');
  return f;
}

std::string BlockBytes(const Block& b) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((b.archiveOffset >> (8 * i)) & 0xFF);
  s += Field(b.windowTitle, 41) + Field(b.installTitle, 41) + Field(b.installFolder, 256) +
       Field(b.command, 259);
  s += static_cast<char>(b.flags);
  s += static_cast<char>(b.restoreAttributes);
  return s;
}

class ConfigTest : public SfxTest {
 protected:
  // The own file: 512 bytes of header area, the block, then more image bytes.
  void WriteOwnFile(const std::string& block, const std::string& after = std::string(100, 'x')) {
    std::string path = TempPath("own.exe");
    WriteBytes(path, std::string(512, 'M') + block + after);
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
  }
  const SfxConfig& Config() { return context->config; }
};

TEST_F(ConfigTest, BlockFieldsAreTakenAtTheirOffsets) {
  Block b;
  b.archiveOffset = 0x5A00;
  b.windowTitle = "Win";
  b.installTitle = "\x83\x43\x83\x93";
  b.installFolder = "C:\\Tools";
  b.command = "\"run me.exe\" /s";
  b.flags = 0x07;
  b.restoreAttributes = 0x21;
  WriteOwnFile(BlockBytes(b));
  ReadConfig(context);
  EXPECT_EQ(Config().archiveOffset, 0x5A00u);
  EXPECT_STREQ(Config().windowTitle, "Win");
  EXPECT_STREQ(Config().installTitle, "\x83\x43\x83\x93");
  EXPECT_STREQ(Config().installFolder, "C:\\Tools");
  EXPECT_STREQ(Config().command, "\"run me.exe\" /s");
  EXPECT_EQ(Config().flags, 0x07);
  EXPECT_EQ(Config().restoreAttributes, 0x21);
}

TEST_F(ConfigTest, EmptyTextsGetOnlyTheDefaultTitle) {
  Block b;
  b.archiveOffset = 23040;
  b.flags = 0x30;
  b.restoreAttributes = 0x21;
  WriteOwnFile(BlockBytes(b));
  ReadConfig(context);
  EXPECT_EQ(Config().archiveOffset, 23040u);
  EXPECT_STREQ(Config().windowTitle, TEXT_DEFAULT_TITLE);
  EXPECT_LE(TextLength(Config().windowTitle), 40u);
  EXPECT_STREQ(Config().installTitle, "");
  EXPECT_STREQ(Config().installFolder, "");
  EXPECT_STREQ(Config().command, "");
  EXPECT_EQ(Config().flags, 0x30);
  EXPECT_EQ(Config().restoreAttributes, 0x21);
}

TEST_F(ConfigTest, FortyByteTitleIsKept) {
  Block b;
  b.windowTitle = std::string(20, 'a') + "\x82\xa0\x82\xa2\x82\xa4\x82\xa6\x82\xa8" +
                  std::string(10, 'z');
  ASSERT_EQ(b.windowTitle.size(), 40u);
  WriteOwnFile(BlockBytes(b));
  ReadConfig(context);
  EXPECT_EQ(std::string(Config().windowTitle), b.windowTitle);
}

// As start-up does it: the block first, then the options, whose folder
// becomes the one the dialog proposes; a refused one leaves the block's.
TEST_F(ConfigTest, CommandLineFolderReplacesTheBlocksFolderOnlyWhenTaken) {
  const std::string tooLong(kInstallFolderCap, 'L');
  struct Case {
    std::string tail;
    const char* folder;
    int refused;
  } cases[] = {
      {"x \"D:\\From Line\"", "D:\\From Line", 0},
      {"x -n", "C:\\Block", 0},
      {"x", "C:\\Block", 0},
      {"x -c " + tooLong, "C:\\Block", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    Block b;
    b.installFolder = "C:\\Block";
    WriteOwnFile(BlockBytes(b));
    destinationRefused = 0;
    ReadConfig(context);
    int count = 0;
    char** arguments = SplitCommandLine(c.tail.c_str(), &count);
    ReadOptions(arguments, count);
    FreeArguments(arguments, count);
    EXPECT_STREQ(Config().installFolder, c.folder);
    EXPECT_EQ(destinationRefused, c.refused);
  }
}

TEST_F(ConfigTest, UnterminatedFieldsAreCutInsideTheirWidth) {
  std::string block = BlockBytes(Block());
  // Every text byte non-zero: no field has its terminator.
  for (size_t i = 4; i < 601; ++i) block[i] = 'A';
  // The title's last two bytes are one double-byte character: cut before it.
  block[4 + 39] = '\x82';
  block[4 + 40] = '\xA0';
  WriteOwnFile(block);
  ReadConfig(context);
  EXPECT_EQ(std::string(Config().windowTitle), std::string(39, 'A'));
  EXPECT_EQ(std::string(Config().installTitle), std::string(40, 'A'));
  EXPECT_EQ(std::string(Config().installFolder), std::string(255, 'A'));
  EXPECT_EQ(std::string(Config().command), std::string(258, 'A'));
}

TEST_F(ConfigTest, ShortFileLeavesTheRestZero) {
  std::string block = BlockBytes(Block{1234, "Short title", "", "", "", 0x07, 1});
  WriteOwnFile(block.substr(0, 4 + 5), "");
  ReadConfig(context);
  EXPECT_EQ(Config().archiveOffset, 1234u);
  EXPECT_STREQ(Config().windowTitle, "Short");
  EXPECT_EQ(Config().flags, 0);
  EXPECT_EQ(Config().restoreAttributes, 0);
}

TEST_F(ConfigTest, UnreadableBlockLeavesEverythingZero) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    memset(&context->config, 0, sizeof context->config);
    std::string block = BlockBytes(Block{99, "T", "I", "F", "C", 7, 1});
    if (round == 0) {
      CopyText(context->ownPath, TempPath("missing.exe").c_str(), kOwnPathCap);
    } else if (round == 1) {
      // Shorter than the header area: no block at all.
      WriteBytes(TempPath("tiny.exe"), std::string(300, 'M'));
      CopyText(context->ownPath, TempPath("tiny.exe").c_str(), kOwnPathCap);
    } else {
      WriteOwnFile(block);
      hostplatform::FailReadsAfter(0);
    }
    ReadConfig(context);
    EXPECT_EQ(Config().archiveOffset, 0u);
    EXPECT_STREQ(Config().windowTitle, TEXT_DEFAULT_TITLE);
    EXPECT_STREQ(Config().installFolder, "");
    EXPECT_STREQ(Config().command, "");
    EXPECT_EQ(Config().flags, 0);
  }
}

}  // namespace
