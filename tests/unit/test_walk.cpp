// The archive walk on real self-extractor files in a temporary folder: the
// extract pass (files, directories, times, attributes, existing files, the
// command), the scan pass (notice, script, checksum, skipping by seeking), and
// the failure roads a user meets, with the boxes the scripted window system saw.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "run/run.h"
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "encoder.h"
#include "lzh_writer.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kTime = 1262349296;       // 2010-01-01 12:34:56, an even second
constexpr uint32_t kOlderTime = 946728000;   // 2000-01-01 12:00:00

// One entry of a test archive. A path ending in "/" is a directory entry.
struct Item {
  Item(std::string p, std::string d = "", uint32_t t = kTime,
       uint16_t attr = kDosArchive)
      : path(std::move(p)), data(std::move(d)), time(t), attribute(attr) {}
  std::string path;
  std::string data;
  uint32_t time = kTime;
  uint16_t attribute = kDosArchive;
  int64_t packedSize = -1;      // -1: the data (and padding) size
  int64_t originalSize = -1;    // -1: the data size
  int32_t fileCrc = -1;         // -1: the CRC of the data
  std::string padding;          // bytes after the data, inside the entry
  std::string method = "-lh0-"; // data of another method are given compressed
};

uint16_t Crc(const std::string& s) {
  return lzhw::Crc16(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string Archive(const std::vector<Item>& items, bool endMark = true) {
  std::vector<uint8_t> bytes;
  for (const Item& item : items) {
    lzhw::EntryInfo info;
    bool directory = !item.path.empty() && item.path.back() == '/';
    size_t slash = item.path.rfind('/', directory ? item.path.size() - 2 : std::string::npos);
    if (directory) {
      info.method = "-lhd-";
      info.directory = item.path;
    } else {
      info.method = item.method;
      info.fileName = slash == std::string::npos ? item.path : item.path.substr(slash + 1);
      if (slash != std::string::npos) info.directory = item.path.substr(0, slash);
    }
    std::string body = item.data + item.padding;
    info.packedSize = item.packedSize >= 0 ? static_cast<uint32_t>(item.packedSize)
                                           : static_cast<uint32_t>(body.size());
    info.originalSize = item.originalSize >= 0 ? static_cast<uint32_t>(item.originalSize)
                                               : static_cast<uint32_t>(item.data.size());
    info.time = item.time;
    info.attribute = item.attribute;
    info.fileCrc = item.fileCrc >= 0 ? static_cast<uint16_t>(item.fileCrc) : Crc(item.data);
    lzhw::EntryHeaderPlan desc = lzhw::MakeHeaderPlan(info);
    EXPECT_TRUE(lzhw::AppendEntry(bytes, desc, reinterpret_cast<const uint8_t*>(body.data()),
                                  body.size()));
  }
  if (endMark) lzhw::AppendEndMark(bytes);
  return std::string(bytes.begin(), bytes.end());
}

uint16_t ChecksumOf(const std::vector<Item>& items) {
  uint16_t x = 0;
  for (const Item& item : items) x ^= item.fileCrc >= 0 ? item.fileCrc : Crc(item.data);
  return x;
}

time_t ModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_mtime;
}

class WalkTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    ownPath_ = TempPath("setup.exe");
    dest_ = TempPath("out");
    fs::create_directory(dest_);
    UseDestination(dest_);
    CopyText(context->ownPath, ownPath_.c_str(), kOwnPathCap);
  }

  void UseDestination(const std::string& dest) {
    dest_ = dest;
    CopyText(context->destFolder, dest.c_str(), kDestFolderCap);
  }

  // Writes the self-extractor: a zero header area, the 603-byte block at 512,
  // the optional checksum, then the archive. offsetShift moves archiveOffset.
  void Install(const std::string& archive, uint8_t flags = 0, int32_t checksum = -1,
               int64_t offsetShift = 0) {
    SfxConfig config;
    memset(&config, 0, sizeof config);
    config.archiveOffset = static_cast<uint32_t>(kConfigOffset + kConfigSize + offsetShift);
    CopyText(config.windowTitle, "テスト ｲﾝｽﾄｰﾙ", kTitleCap);
    CopyText(config.command, command_.c_str(), kCommandCap);
    config.flags = flags;
    config.restoreAttributes = restoreAttributes_;
    std::string file(kConfigOffset, '\0');
    file.append(reinterpret_cast<const char*>(&config), sizeof config);
    if (checksum >= 0) {
      file.push_back(static_cast<char>(checksum & 0xFF));
      file.push_back(static_cast<char>(checksum >> 8));
    }
    file += archive;
    WriteBytes(ownPath_, file);
    context->config = config;
  }

  int Scan() { return WalkArchive(0, kScanPass); }
  int Extract() { return WalkArchive(scripted::kDialogWindow, kExtractPass); }

  std::string Out(const std::string& name) const { return dest_ + "/" + name; }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const scripted::Box& box : scripted::Boxes()) texts.push_back(box.text);
    return texts;
  }
  std::string OwnError(const char* message) const {
    return "\"" + ownPath_ + "\" " + message;
  }

  std::string ownPath_;
  std::string dest_;
  std::string command_;
  uint8_t restoreAttributes_ = 0;
};

// ---- the extract pass ----

TEST_F(WalkTest, ExtractWritesFilesDirectoriesTimesAndAttributes) {
  restoreAttributes_ = 1;
  std::string a = Pattern(100, 1), b = Pattern(70000, 2);
  Install(Archive({{"a.txt", a, kTime, kDosReadOnly | kDosArchive},
                   {"doc/", ""},
                   {"doc/b.bin", b},
                   {"empty.txt", ""}}));
  EXPECT_EQ(Extract(), 1);

  EXPECT_EQ(ReadBytes(Out("a.txt")), a);
  EXPECT_EQ(ReadBytes(Out("doc/b.bin")), b);
  EXPECT_TRUE(FileExists(Out("empty.txt")));
  EXPECT_EQ(ReadBytes(Out("empty.txt")), "");
  EXPECT_TRUE(fs::is_directory(Out("doc")));
  EXPECT_EQ(ModifiedTime(Out("a.txt")), static_cast<time_t>(kTime));
  EXPECT_EQ(ModifiedTime(Out("doc/b.bin")), static_cast<time_t>(kTime));
  EXPECT_NE(GetAttributesOf(Out("a.txt").c_str()) & kAttributeReadOnly, 0u);
  EXPECT_EQ(GetAttributesOf(Out("doc/b.bin").c_str()) & kAttributeReadOnly, 0u);

  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
  EXPECT_EQ(context->archiveHandle, 0u);

  // One "0%" per ordinary entry, then the sink's percentages.
  std::vector<std::string> progress = scripted::ControlTextHistory(IDC_PROGRESS);
  EXPECT_EQ(std::count(progress.begin(), progress.end(), std::string(TEXT_PROGRESS_ZERO)), 4);
  EXPECT_EQ(progress.back(), TEXT_PROGRESS_ZERO);   // the empty file reports nothing
  std::vector<std::string> shown = scripted::ControlTextHistory(IDC_CURRENT_FILE);
  ASSERT_EQ(shown.size(), 4u);
  std::string longPath = Out("doc/b.bin");
  ASSERT_GE(longPath.size(), 32u);
  EXPECT_EQ(shown[2], longPath.substr(0, 27 - 5) + ".../b.bin");
}

TEST_F(WalkTest, AttributesAreLeftAloneUnlessRestoring) {
  Install(Archive({{"ro.txt", "x", kTime, kDosReadOnly}}));
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(GetAttributesOf(Out("ro.txt").c_str()) & kAttributeReadOnly, 0u);
}

TEST_F(WalkTest, TheFixtureArchivesExtractToTheirManifest) {
  std::string fixtures = std::string(SFX_FIXTURES_DIR) + "/";
  std::ifstream manifest(fixtures + "manifest.tsv");
  ASSERT_TRUE(manifest.good());
  struct Row {
    std::string archive, name, size, digest;
  };
  std::vector<Row> rows;
  std::string line;
  std::getline(manifest, line);
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    Row row;
    std::getline(fields, row.archive, '\t');
    std::getline(fields, row.name, '\t');
    std::getline(fields, row.size, '\t');
    std::getline(fields, row.digest, '\t');
    rows.push_back(row);
  }
  for (const char* archive : {"fx-lh5.lzh", "fx-lh6.lzh", "fx-lh7.lzh"}) {
    SCOPED_TRACE(archive);
    UseDestination(TempPath(std::string("out-") + archive));
    fs::create_directory(dest_);
    Install(ReadBytes(fixtures + archive));

    hostplatform::Reset();
    EXPECT_EQ(Scan(), 1);
    // Entries that are not taken are passed over by seeking, never read.
    for (uint32_t request : hostplatform::ReadRequests()) EXPECT_LT(request, 1024u);
    EXPECT_EQ(Extract(), 1);
    EXPECT_TRUE(scripted::Boxes().empty());

    int checked = 0;
    for (const Row& row : rows) {
      if (row.archive != archive) continue;
      std::string path = Out(Unhex(row.name));
      if (row.size == "dir") {
        EXPECT_TRUE(fs::is_directory(path)) << row.name;
      } else {
        EXPECT_EQ(fs::file_size(path), std::stoull(row.size)) << row.name;
        EXPECT_EQ(Sha256Hex(ReadBytes(path)), row.digest) << row.name;
      }
      ++checked;
    }
    EXPECT_GT(checked, 5);
  }
}

TEST_F(WalkTest, SpecialEntriesAreSkippedButANestedBangIsOrdinary) {
  Install(Archive({{"!", "notice"}, {"$", "$WindowTitle=x"}, {"sub/!", "plain"}, {"c", "c"}}));
  EXPECT_EQ(Extract(), 1);
  EXPECT_FALSE(FileExists(Out("!")));
  EXPECT_FALSE(FileExists(Out("$")));
  EXPECT_EQ(ReadBytes(Out("sub/!")), "plain");
  EXPECT_EQ(ReadBytes(Out("c")), "c");
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(WalkTest, TheCommandRunsAfterASuccessInTheDestination) {
  command_ = "\"my setup.exe\"  /quiet now";
  Install(Archive({{"a", "a"}}));
  EXPECT_EQ(Extract(), 1);
  ASSERT_EQ(hostplatform::ShellOpens().size(), 1u);
  const hostplatform::ShellOpenCall& call = hostplatform::ShellOpens()[0];
  EXPECT_EQ(call.owner, scripted::kDialogWindow);
  EXPECT_EQ(call.file, "my setup.exe");
  EXPECT_EQ(call.parameters, "/quiet now");
  EXPECT_EQ(call.directory, dest_);
}

TEST_F(WalkTest, StoredPaddingAndDataOfADirectoryEntryDoNotDerailTheWalk) {
  Item padded{"padded.txt", "content"};
  padded.padding = "----";
  Item dirWithData{"dir/", ""};
  dirWithData.padding = "stray bytes";
  Install(Archive({padded, dirWithData, {"after.txt", "after"}}));
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(ReadBytes(Out("padded.txt")), "content");
  EXPECT_TRUE(fs::is_directory(Out("dir")));
  EXPECT_EQ(ReadBytes(Out("after.txt")), "after");
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(WalkTest, OnAVolumeWithoutLongNamesNamesAreCutTo83) {
  // A destination whose own components are already 8.3 names.
  char pattern[] = "/tmp/wkXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string root = pattern;
  UseDestination(root);
  hostplatform::SetMaxComponentLength(12);
  Install(Archive({{"Program Files/readme.text", "r"}}));
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(ReadBytes(root + "/Program_/readme.tex"), "r");
  fs::remove_all(root);
}

TEST_F(WalkTest, UnderWin32sTheTzHoursShiftTheStamp) {
  isWin32s = 1;
  hostplatform::SetEnvironment("TZ", "JST-9");
  Install(Archive({{"a", "a"}}));
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(ModifiedTime(Out("a")), static_cast<time_t>(kTime + 9 * 3600));
}

// ---- existing files ----

TEST_F(WalkTest, AnExistingFileOfTheSameTimeIsSkippedSilently) {
  Install(Archive({{"a", "new"}}));
  EXPECT_EQ(Extract(), 1);
  WriteBytes(Out("a"), "changed");
  struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(kTime), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Out("a").c_str(), times, 0), 0);
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(ReadBytes(Out("a")), "changed");
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(WalkTest, TheAnswerToTheOverwriteQuestion) {
  command_ = "run.exe";
  struct Case {
    int answer;
    int result;
    const char* b;       // content of b afterwards
    bool cWritten, commandRun;
  } cases[] = {
      {kAnswerYes, 1, "new b", true, true},
      {kAnswerNo, 1, "old b", true, true},        // the entry's data are skipped
      {kAnswerCancel, 0, "old b", false, false},  // the setup actions still run
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    scripted::Reset();
    hostplatform::Reset();
    fs::remove_all(dest_);
    fs::create_directory(dest_);
    WriteBytes(Out("b"), "old b");
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(kOlderTime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Out("b").c_str(), times, 0), 0);
    Install(Archive({{"a", "new a"}, {"b", "new b"}, {"c", "new c"}}));
    scripted::QueueAnswer(c.answer);

    EXPECT_EQ(Extract(), c.result);
    EXPECT_EQ(ReadBytes(Out("a")), "new a");
    EXPECT_EQ(ReadBytes(Out("b")), c.b);
    EXPECT_EQ(FileExists(Out("c")), c.cWritten);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"\"" + Out("b") + "\" 上書きしますか？"});
    EXPECT_EQ(scripted::Boxes()[0].owner, scripted::kDialogWindow);
    EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
    EXPECT_EQ(hostplatform::ShellOpens().size(), c.commandRun ? 1u : 0u);
  }
}

TEST_F(WalkTest, AReadOnlyExistingFileIsReplacedOnlyWhenRestoringAttributes) {
  skipNotNewer = 0;
  overwriteWithoutAsking = 1;
  WriteBytes(Out("ro"), "old");
  SetAttributesOf(Out("ro").c_str(), kAttributeReadOnly);

  Install(Archive({{"ro", "new"}, {"next", "n"}}));
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadBytes(Out("ro")), "old");
  EXPECT_FALSE(FileExists(Out("next")));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{OwnError(TEXT_OPEN_ERROR)});

  restoreAttributes_ = 1;
  Install(Archive({{"ro", "new"}, {"next", "n"}}));
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(ReadBytes(Out("ro")), "new");
  EXPECT_EQ(ReadBytes(Out("next")), "n");
}

// ---- failures of the extract pass ----

TEST_F(WalkTest, ACrcMismatchInTheSecondOfThreeEntries) {
  command_ = "run.exe";
  Item bad{"two", "second"};
  bad.fileCrc = Crc("second") ^ 1;
  Install(Archive({{"one", "first"}, bad, {"three", "third"}}));
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadBytes(Out("one")), "first");
  EXPECT_FALSE(FileExists(Out("two")));
  EXPECT_FALSE(FileExists(Out("three")));
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, "\"" + Out("two") + "\" CRC エラー");
  EXPECT_EQ(scripted::Boxes()[0].owner, scripted::kDialogWindow);
  EXPECT_EQ(scripted::Boxes()[0].style, kBoxOk | kIconError);
  EXPECT_TRUE(hostplatform::ShellOpens().empty());
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
}

TEST_F(WalkTest, AnOutputThatCannotBeCreatedIsAnOpenErrorOfTheOwnFile) {
  skipNotNewer = 0;
  fs::create_directory(Out("taken"));
  Install(Archive({{"taken", "x"}}));
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"" + Out("taken") + "\" 上書きしますか？",
                                                  OwnError(TEXT_OPEN_ERROR)}));
}

TEST_F(WalkTest, FailuresInsideAnEntrysDataEndTheRunWithoutALeftover) {
  std::string a = Pattern(1000, 3), b = Pattern(100000, 4);
  // A block whose one-value character code is 511, no symbol.
  Item badTable("b", "");
  badTable.method = "-lh5-";
  badTable.data = Bytes("\x00\x01\x00\x00\x1f\xf0");
  badTable.originalSize = 10;
  std::string cutShort = Archive({{"a", a}, {"b", b}}, false);
  cutShort.resize(cutShort.size() - 2000);
  struct Case {
    const char* what;
    std::string archive;
    int64_t writesBefore;   // bytes written before writes fail; negative: never
    int pumpCancel;         // the progress report at which Cancel is pressed
    std::vector<std::string> boxes;
  } cases[] = {
      {"a full disk", Archive({{"a", a}, {"b", b}}), static_cast<int64_t>(a.size()) + 70000, 0,
       {"\"" + Out("b") + "\" " + TEXT_WRITE_ERROR}},
      {"data cut short", cutShort, -1, 0, {OwnError(TEXT_READ_ERROR)}},
      {"a bad table", Archive({{"a", a}, badTable}), -1, 0, {OwnError(TEXT_BAD_TABLE)}},
      {"Cancel", Archive({{"a", a}, {"b", b}}), -1, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dest_);
    fs::create_directory(dest_);
    hostplatform::Reset();
    scripted::Reset();
    Install(c.archive);
    hostplatform::FailWritesAfter(c.writesBefore);
    context->extracting = 1;
    context->cancelRequested = 0;
    if (c.pumpCancel) scripted::QueuePumpCommand(c.pumpCancel, IDC_CANCEL);
    EXPECT_EQ(Extract(), kWalkEndsRun);
    EXPECT_EQ(BoxTexts(), c.boxes);
    EXPECT_EQ(ReadBytes(Out("a")), a);
    EXPECT_FALSE(FileExists(Out("b")));
    // Nothing more happens in a run that ends: no setup actions.
    EXPECT_EQ(scripted::SettingsBroadcasts(), 0);
    EXPECT_EQ(context->archiveHandle, 0u);
  }
}

TEST_F(WalkTest, AnOriginalSizeBeyondTheDataIsACrcErrorAtOnce) {
  // A compressed entry whose header claims 4 GB: the data runs out long
  // before, and the entry ends there as a CRC error would end it.
  std::string data = Pattern(30000, 9);
  std::vector<uint8_t> packed =
      lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), 7);
  std::vector<uint8_t> bytes;
  lzhw::EntryInfo info;
  info.method = "-lh7-";
  info.packedSize = static_cast<uint32_t>(packed.size());
  info.originalSize = 0xFFFFFFFFu;
  info.time = kTime;
  info.fileCrc = Crc(data);
  info.fileName = "huge.bin";
  ASSERT_TRUE(lzhw::AppendEntry(bytes, lzhw::MakeHeaderPlan(info), packed.data(), packed.size()));
  std::string archive = Archive({{"first.txt", "first"}}, false) +
                        std::string(bytes.begin(), bytes.end()) + Archive({{"after.txt", "x"}});
  Install(archive);
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadBytes(Out("first.txt")), "first");
  EXPECT_FALSE(FileExists(Out("huge.bin")));
  EXPECT_FALSE(FileExists(Out("after.txt")));   // the walk stopped
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"\"" + Out("huge.bin") + "\" CRC エラー"});
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);   // the setup actions still ran
  // Stopped with the data: no window of zeros was ever handed over.
  EXPECT_EQ(context->codec.decodedCount, data.size());
}

// ---- the scan pass ----

TEST_F(WalkTest, TheNoticeIsAskedWithoutAnOwner) {
  Install(Archive({{"a.txt", "data"}, {"!", "お知らせです"}}));
  EXPECT_EQ(Scan(), 1);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  const scripted::Box& box = scripted::Boxes()[0];
  EXPECT_EQ(box.text, "お知らせです");
  EXPECT_EQ(box.caption, "テスト ｲﾝｽﾄｰﾙ");
  EXPECT_EQ(box.owner, 0u);
  EXPECT_EQ(box.style, kBoxYesNo | kIconQuestion);
  EXPECT_FALSE(FileExists(Out("a.txt")));
  EXPECT_EQ(context->memoryTarget, kMemoryNone);
}

TEST_F(WalkTest, DecliningTheNoticeEndsTheScanAtTheNextSpecialEntry) {
  Install(Archive({{"!", "first"}, {"a", "a"}, {"!", "second"}}));
  scripted::QueueAnswer(kAnswerYes);
  scripted::QueueAnswer(kAnswerYes);
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"first", "second"}));

  scripted::Reset();
  scripted::QueueAnswer(kAnswerNo);
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(context->aborted, 1);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"first"});
  EXPECT_EQ(context->memoryTarget, kMemoryNone);
}

TEST_F(WalkTest, TheScriptEntryFillsTheScriptBuffer) {
  Install(Archive({{"$", "$WindowTitle=T\r\n$Command=x.exe\r\n"}}));
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(std::string(context->scriptBuffer), "$WindowTitle=T\r\n$Command=x.exe\r\n");
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(WalkTest, TheScanAppliesEachScriptInArchiveOrder) {
  // The notice's caption is the title in effect when it is shown: an earlier
  // script's, not a later one's. The last script is what stays.
  Install(Archive({{"$", "$WindowTitle=First\n$ClassTitle=Assoc"},
                   {"!", "Notice"},
                   {"$", "$WindowTitle=Second\n$Command=go.exe"},
                   {"a", "a"}}));
  EXPECT_EQ(Scan(), 1);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].caption, "First");
  EXPECT_STREQ(context->config.windowTitle, "Second");
  EXPECT_STREQ(context->config.command, "go.exe");
  EXPECT_EQ(context->classChecked, 1);
  EXPECT_STREQ(context->classBoxTitle, "Assoc");
  EXPECT_EQ(std::string(context->scriptBuffer), "$WindowTitle=Second\n$Command=go.exe");
}

TEST_F(WalkTest, AStoppedWalkStillCarriesOutTheMarkedActionsButNotTheCommand) {
  command_ = "run.exe";
  const std::string script = "$ClassTitle=x\n$Class=.q,Q,a,qfile\n$Command=run.exe";
  for (int answer : {kAnswerYes, kAnswerCancel}) {
    SCOPED_TRACE(answer);
    scripted::Reset();
    hostplatform::Reset();
    fs::remove_all(dest_);
    fs::create_directory(dest_);
    WriteBytes(Out("a"), "old");
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(kOlderTime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Out("a").c_str(), times, 0), 0);
    Install(Archive({{"$", script}, {"a", "new"}, {"b", "b"}}));
    context->classChecked = 0;
    ASSERT_EQ(Scan(), 1);
    ASSERT_EQ(context->classChecked, 1);
    scripted::QueueAnswer(answer);
    Extract();
    EXPECT_EQ(hostplatform::ClassesRootWrites().size(), 4u);
    EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
    EXPECT_EQ(hostplatform::ShellOpens().size(), answer == kAnswerYes ? 1u : 0u);
  }
}

TEST_F(WalkTest, AnEmptyNoticeShowsNothingStale) {
  CopyText(context->messageText, "C:\\given\\folder", kMessageCap);
  CopyText(context->scriptBuffer, "$Command=stale.exe", kScriptCap);
  Install(Archive({{"!", ""}, {"$", ""}}));
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{""});
  EXPECT_EQ(std::string(context->scriptBuffer), "");
}

TEST_F(WalkTest, TheChecksumCoversEveryEntryAndOneWrongBitIsTampering) {
  std::vector<Item> items = {{"a", "alpha"}, {"!", "note"}, {"doc/", ""}, {"b", "beta"}};
  uint16_t sum = ChecksumOf(items);
  Install(Archive(items), kFlagChecksum, sum);
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(scripted::Boxes().size(), 1u);   // the notice only

  scripted::Reset();
  Install(Archive(items), kFlagChecksum, sum ^ 0x0100);
  EXPECT_EQ(Scan(), 0);
  ASSERT_EQ(scripted::Boxes().size(), 2u);
  EXPECT_EQ(scripted::Boxes()[1].text, OwnError(TEXT_TAMPERED));
  EXPECT_EQ(scripted::Boxes()[1].owner, 0u);

  // The extract pass does not check it.
  scripted::Reset();
  EXPECT_EQ(Extract(), 1);
  EXPECT_TRUE(scripted::Boxes().empty());

  // Without the flag the two bytes are not read and nothing is checked.
  scripted::Reset();
  Install(Archive(items), 0, sum ^ 0x0100, 2);
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(scripted::Boxes().size(), 1u);
}

TEST_F(WalkTest, ASizePastTheEndIsMissingDataAndNeverMovesBackwards) {
  for (uint32_t size : {1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(size);
    scripted::Reset();
    Item item{"a", "abc"};
    item.packedSize = size;
    Install(Archive({{"first", "1"}, item, {"b", "b"}}));
    EXPECT_EQ(Scan(), 0);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{OwnError(TEXT_MISSING_DATA)});
  }
}

TEST_F(WalkTest, ATruncatedHeaderIsInvalid) {
  std::string archive = Archive({{"a", "a"}, {"second-entry.txt", "b"}}, false);
  archive.resize(archive.size() - 10);   // inside the second header
  Install(archive);
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{OwnError(TEXT_BAD_HEADER)});
  scripted::Reset();
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadBytes(Out("a")), "a");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{OwnError(TEXT_BAD_HEADER)});
}

// ---- the opening steps ----

TEST_F(WalkTest, AnArchiveOffsetAtTheEndFindsNothing) {
  Install("", 0, -1);                      // the offset equals the file size
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(Extract(), 1);
  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);

  Install(std::string(1, '\0'));           // a first header size of 0
  EXPECT_EQ(Scan(), 1);
  EXPECT_EQ(Extract(), 1);
  EXPECT_EQ(fs::directory_iterator(dest_) == fs::directory_iterator(), true);
}

TEST_F(WalkTest, AnArchiveOffsetPastTheEndIsMissingDataBeforeAnything) {
  Install("", 0, -1, 1);
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{OwnError(TEXT_MISSING_DATA)});
  scripted::Reset();
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(scripted::Boxes()[0].owner, scripted::kDialogWindow);
  EXPECT_EQ(scripted::SettingsBroadcasts(), 0);   // the early return skips the setup actions
  EXPECT_EQ(context->archiveHandle, 0u);
}

TEST_F(WalkTest, AMissingOwnFileIsAnOpenError) {
  CopyText(context->ownPath, TempPath("absent.exe").c_str(), kOwnPathCap);
  EXPECT_EQ(Scan(), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, "\"" + TempPath("absent.exe") + "\" " TEXT_OPEN_ERROR);
}

}  // namespace
