#include <string>

#include "core/text.h"
#include "platform/testing/host_platform.h"
#include "startup/startup.h"
#include "run/run.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

constexpr uint32_t kArchiveAt = 1120;

// One stored entry: file-name and header-CRC extended headers.
std::string StoredEntry(const std::string& name, const std::string& data) {
  std::string h = Le16(0) + "-lh0-" + Le32(data.size()) + Le32(data.size()) + Le32(0x5F000000) +
                  "\x20\x02" + Le16(ReferenceCrc(data)) + "M";
  h += Le16(3 + name.size()) + "\x01" + name;
  h += Le16(5) + std::string("\x00", 1);
  size_t crcAt = h.size();
  h += Le16(0) + Le16(0);
  h[0] = char(h.size() & 0xFF);
  h[1] = char(h.size() >> 8);
  std::string crc = Le16(ReferenceCrc(h));
  h[crcAt] = crc[0];
  h[crcAt + 1] = crc[1];
  return h + data;
}

class RunTest : public SfxTest {
 protected:
  // The own file: header area, block, padding up to the archive, the archive.
  void WriteOwnFile(const std::string& archive, uint8_t flags = 0,
                    const std::string& installFolder = "", uint32_t offset = kArchiveAt) {
    std::string block = Le32(offset) + std::string(41, '\0') + std::string(41, '\0');
    std::string folder = installFolder;
    folder.resize(256, '\0');
    block += folder + std::string(259, '\0');
    block += static_cast<char>(flags);
    block += '\0';
    std::string file = std::string(512, 'M') + block;
    file.resize(kArchiveAt, '\0');
    file += archive;
    std::string path = TempPath("own.exe");
    WriteBytes(path, file);
    hostplatform::SetOwnModulePath(path);
    ownPath_ = path;
  }
  std::string ownPath_;
};

TEST_F(RunTest, NoMemoryForTheContextEndsWithZero) {
  hostplatform::FailAllocationsAfter(0);
  EXPECT_EQ(RunProgram(0, ""), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, TEXT_NO_MEMORY);
  EXPECT_EQ(scripted::Boxes()[0].caption, TEXT_DEFAULT_TITLE);
  EXPECT_EQ(scripted::Boxes()[0].owner, 0u);
  EXPECT_EQ(scripted::Boxes()[0].style, kBoxOk | kIconError);
  EXPECT_FALSE(scripted::DialogRan());
}

TEST_F(RunTest, FailedScanEndsWithZeroBeforeTheDialog) {
  WriteOwnFile("", 0, "", kArchiveAt + 1);
  EXPECT_EQ(RunProgram(0, "-n"), 0);
  EXPECT_FALSE(scripted::DialogRan());
  EXPECT_EQ(context, nullptr);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, "\"" + ownPath_ + "\" " + TEXT_MISSING_DATA);
  EXPECT_EQ(scripted::Boxes()[0].caption, TEXT_DEFAULT_TITLE);
}

TEST_F(RunTest, DialogClosedBeforeExtractionEndsWithZero) {
  WriteOwnFile(std::string(1, '\0'));
  EXPECT_EQ(RunProgram(0, ""), 0);
  EXPECT_TRUE(scripted::DialogRan());
  EXPECT_EQ(context, nullptr);
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(RunTest, DialogThatCannotBeCreatedEndsWithMinusOne) {
  WriteOwnFile(std::string(1, '\0'));
  scripted::FailDialogCreation(true);
  EXPECT_EQ(RunProgram(0, ""), -1);
  EXPECT_EQ(context, nullptr);
}

TEST_F(RunTest, ExtractionThroughOkEndsWithOne) {
  std::string dest = TempPath("dest");
  WriteOwnFile(StoredEntry("hello.txt", "hello, world") + std::string(1, '\0'));
  scripted::QueueAction({scripted::Action::kCommand, IDC_OK, ""});
  EXPECT_EQ(RunProgram(0, ("-c " + dest).c_str()), 1);
  EXPECT_EQ(ReadBytes(dest + "/hello.txt"), "hello, world");
}

TEST_F(RunTest, FolderPrecedenceInTheDialog) {
  hostplatform::SetCurrentDirectoryText("/current/dir");
  struct Case {
    const char* tail;
    const char* blockFolder;
    const char* shown;
  } cases[] = {
      {"", "", "/current/dir"},
      {"", "C:\\Block", "C:\\Block"},
      {"x D:\\Line", "C:\\Block", "D:\\Line"},
      {"D:\\Line", "C:\\Block", "C:\\Block"},   // the first argument is never the folder
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    scripted::Reset();
    WriteOwnFile(std::string(1, '\0'), 0, c.blockFolder);
    RunProgram(0, c.tail);
    EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), c.shown);
  }
}

TEST_F(RunTest, CommandLineOverridesTheBlockInBothDirections) {
  struct Case {
    const char* tail;
    uint8_t flags;
    int autoStart;
    int overwrite;
    int skip;
  } cases[] = {
      {"", 0, 0, 0, 1},       {"", 1, 1, 0, 1},        {"-N-", 1, 0, 0, 1},
      {"-n", 0, 1, 0, 1},     {"-n -n-", 0, 0, 0, 1},  {"-c", 2, 0, 1, 0},
      {"", 0x30, 0, 0, 1},    {"-c-", 7, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tail) + " flags " + std::to_string(c.flags));
    WriteOwnFile(std::string(1, '\0'), c.flags & ~kFlagChecksum);
    scripted::Reset();
    autoStart = 5;
    skipNotNewer = 5;
    overwriteWithoutAsking = 5;
    RunProgram(0, c.tail);
    EXPECT_EQ(autoStart, c.autoStart);
    EXPECT_EQ(overwriteWithoutAsking, c.overwrite);
    EXPECT_EQ(skipNotNewer, c.skip);
  }
}

TEST_F(RunTest, AFolderTooLongToTakeKeepsTheUserInTheDialog) {
  // Neither -n nor the block's automatic start extracts into a folder nobody
  // named: the dialog warns and waits with the block's folder in the field.
  std::string tooLong(kInstallFolderCap, 'f');
  for (const char* options : {"-n ", "x "}) {
    SCOPED_TRACE(options);
    scripted::Reset();
    WriteOwnFile(StoredEntry("a.txt", "a") + std::string(1, '\0'), kFlagAutoStart, "C:\\Block");
    scripted::QueueAction({scripted::Action::kTimer, 3, ""});
    EXPECT_EQ(RunProgram(0, (options + tooLong).c_str()), 0);   // the user cancelled
    EXPECT_EQ(autoStart, 0);
    EXPECT_FALSE(scripted::TimerRunning(1));
    EXPECT_FALSE(scripted::TimerRunning(3));
    ASSERT_EQ(scripted::Boxes().size(), 1u);
    EXPECT_EQ(scripted::Boxes()[0].text, TEXT_BAD_FOLDER);
    EXPECT_EQ(scripted::Boxes()[0].owner, scripted::kDialogWindow);
    EXPECT_EQ(scripted::Boxes()[0].style, kBoxOk | kIconWarning);
    EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "C:\\Block");
  }
}

TEST_F(RunTest, PlatformIsWin32sOnlyWhenTheSystemSaysSo) {
  WriteOwnFile(std::string(1, '\0'));
  hostplatform::SetPlatformId(0);
  RunProgram(0, "");
  EXPECT_EQ(isWin32s, 1);

  hostplatform::SetPlatformId(2);
  RunProgram(0, "");
  EXPECT_EQ(isWin32s, 0);

  hostplatform::SetPlatformId(0);
  hostplatform::SetVersionQueryFails(true);
  RunProgram(0, "");
  EXPECT_EQ(isWin32s, 0);
}

}  // namespace
