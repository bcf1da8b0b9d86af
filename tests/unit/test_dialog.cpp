// The main dialog's handlers, driven through the scripted window system: its
// start state, OK with the folder checks and a real extraction pass, Cancel
// before and during the extraction, Browse, the check boxes, the automatic
// start and the Program Manager acknowledge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/context.h"
#include "core/text.h"
#include "lzh_writer.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"
#include "run/dialog.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace fs = std::filesystem;
using scripted::Action;
using scripted::kDialogWindow;

namespace {

struct Entry {
  std::string directory;   // '/'-separated, may be empty
  std::string name;
  std::string data;
};


class DialogTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    root_ = TempDir();
    CopyText(context->config.windowTitle, "ｲﾝｽﾄｰﾗ テスト", kTitleCap);
    // Unless a test packs something, the archive is empty: the pass finds its
    // end at once and writes nothing.
    Pack({});
  }

  // Writes an archive of stored entries as the program's own file.
  void Pack(const std::vector<Entry>& entries) {
    std::vector<uint8_t> archive;
    for (const Entry& e : entries) {
      lzhw::EntryInfo info;
      info.method = "-lh0-";
      info.packedSize = info.originalSize = static_cast<uint32_t>(e.data.size());
      info.fileCrc = lzhw::Crc16(reinterpret_cast<const uint8_t*>(e.data.data()), e.data.size());
      info.fileName = e.name;
      info.directory = e.directory;
      info.time = 1000000000;
      ASSERT_TRUE(lzhw::AppendEntry(archive, lzhw::MakeHeaderPlan(info),
                                    reinterpret_cast<const uint8_t*>(e.data.data()),
                                    e.data.size()));
    }
    lzhw::AppendEndMark(archive);
    std::string path = root_ + "/sfx.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(archive.data()), archive.size());
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
    context->config.archiveOffset = 0;
  }

  static void Type(const std::string& folder) {
    scripted::QueueAction(Action{Action::kTypeFolder, 0, folder});
  }
  static void Press(int id) { scripted::QueueAction(Action{Action::kCommand, id, ""}); }
  static void Tick(int id) { scripted::QueueAction(Action{Action::kTimer, id, ""}); }

  static size_t FolderRefusals() {
    size_t n = 0;
    for (const scripted::Box& b : scripted::Boxes()) {
      if (b.text == TEXT_BAD_FOLDER) ++n;
    }
    return n;
  }

  std::string root_;
};

// ---------------------------------------------------------------- start state

TEST_F(DialogTest, StartStateShowsTheConfiguredTextsAndResetsTheRunFlags) {
  CopyText(context->config.installFolder, "C:\\Program Files\\ツール", kInstallFolderCap);
  context->extracting = 1;       // left over: the start must clear both
  context->cancelRequested = 1;
  ddeState = -1;

  OnDialogInit(kDialogWindow);

  EXPECT_EQ(scripted::Caption(), context->config.windowTitle);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), context->config.installFolder);
  EXPECT_EQ(scripted::TextLimit(IDC_FOLDER_EDIT), 255u);
  EXPECT_TRUE(scripted::Centred());
  EXPECT_EQ(context->extracting, 0);
  EXPECT_EQ(context->cancelRequested, 0);
  EXPECT_EQ(ddeState, 0);
  // No install title and no box titles: the template's labels stay.
  EXPECT_TRUE(scripted::ControlTextHistory(IDC_FOLDER_LABEL).empty());
  EXPECT_TRUE(scripted::ControlTextHistory(IDC_GROUP_BOX).empty());
  EXPECT_TRUE(scripted::ControlTextHistory(IDC_CLASS_BOX).empty());
  EXPECT_FALSE(scripted::TimerRunning(1));
}

TEST_F(DialogTest, CheckBoxesFollowTheScriptsAnnouncements) {
  // Each box on its own: checked and usable exactly when its directive was read.
  for (int group = 0; group <= 1; ++group) {
    for (int cls = 0; cls <= 1; ++cls) {
      SCOPED_TRACE("group " + std::to_string(group) + " class " + std::to_string(cls));
      scripted::Reset();
      context->groupChecked = group;
      context->classChecked = cls;
      CopyText(context->groupBoxTitle, group ? "スタートメニューに登録する" : "", kBoxTitleCap);
      CopyText(context->classBoxTitle, cls ? ".txt を関連付ける" : "", kBoxTitleCap);
      CopyText(context->config.installTitle, group ? "展開先(&D):" : "", kTitleCap);

      OnDialogInit(kDialogWindow);

      EXPECT_EQ(scripted::CheckMark(IDC_GROUP_BOX), group);
      EXPECT_EQ(scripted::CheckMark(IDC_CLASS_BOX), cls);
      EXPECT_EQ(scripted::ControlEnabled(IDC_GROUP_BOX), group == 1);
      EXPECT_EQ(scripted::ControlEnabled(IDC_CLASS_BOX), cls == 1);
      EXPECT_EQ(scripted::ControlTextHistory(IDC_GROUP_BOX).empty(), group == 0);
      EXPECT_EQ(scripted::ControlTextHistory(IDC_CLASS_BOX).empty(), cls == 0);
      if (group) {
        EXPECT_EQ(scripted::ControlText(IDC_GROUP_BOX), context->groupBoxTitle);
        EXPECT_EQ(scripted::ControlText(IDC_FOLDER_LABEL), context->config.installTitle);
      }
      if (cls) {
        EXPECT_EQ(scripted::ControlText(IDC_CLASS_BOX), context->classBoxTitle);
      }
    }
  }
}

TEST_F(DialogTest, OnlyASettledAutomaticStartArmsTheTimer) {
  for (int setting : {0, 1, 11, 12}) {
    SCOPED_TRACE(setting);
    scripted::Reset();
    autoStart = setting;
    OnDialogInit(kDialogWindow);
    EXPECT_EQ(scripted::TimerRunning(1), setting == 1);
    if (setting == 1) {
      EXPECT_EQ(scripted::TimerPeriod(1), 700u);
    }
  }
}

// ------------------------------------------------------------------------ OK

TEST_F(DialogTest, OkExtractsIntoTheFolderWithoutItsQuotes) {
  const std::string data = Pattern(3000, 'a');
  Pack({{"", "readme.txt", data}, {"doc", "説明.txt", "中身"}});
  struct Case {
    std::string typed, folder;
  };
  const std::vector<Case> cases = {
      {"\"" + root_ + "/with blank\"", root_ + "/with blank"},
      {root_ + "/in\"si\"de", root_ + "/inside"},
      {"\"\"" + root_ + "/\"mixed\" \"", root_ + "/mixed "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    scripted::Reset();
    Type(c.typed);
    Press(IDC_OK);
    EXPECT_EQ(RunMainDialog(0), 1);
    EXPECT_EQ(scripted::DialogResult(), 1);
    EXPECT_EQ(std::string(context->destFolder), c.folder);
    EXPECT_EQ(ReadBytes(c.folder + "/readme.txt"), data);
    EXPECT_EQ(ReadBytes(c.folder + "/doc/説明.txt"), "中身");
    EXPECT_EQ(FolderRefusals(), 0u);
  }
}

TEST_F(DialogTest, AfterOkOnlyCancelIsUsableAndIsTheDefault) {
  CopyText(context->groupBoxTitle, "登録", kBoxTitleCap);
  context->groupChecked = 1;
  context->classChecked = 1;
  Type(root_ + "/out");
  Press(IDC_OK);
  RunMainDialog(0);

  for (int id : {IDC_OK, IDC_BROWSE, IDC_FOLDER_EDIT, IDC_GROUP_BOX, IDC_CLASS_BOX}) {
    EXPECT_FALSE(scripted::ControlEnabled(id)) << id;
  }
  EXPECT_TRUE(scripted::ControlEnabled(IDC_CANCEL));
  EXPECT_EQ(scripted::FocusedControl(), IDC_CANCEL);
  EXPECT_EQ(scripted::DefaultButton(), IDC_CANCEL);
  EXPECT_EQ(context->extracting, 1);
  EXPECT_EQ(scripted::DialogResult(), 1);
}

TEST_F(DialogTest, AnEmptyFieldExtractsWithAnEmptyFolder) {
  // An empty folder means the current directory to the path building; point it
  // at the test's directory so that nothing is written elsewhere.
  Pack({{"", "here.txt", "x"}});
  std::error_code ec;
  fs::path previous = fs::current_path();
  fs::current_path(root_);
  Type("");
  Press(IDC_OK);
  int result = RunMainDialog(0);
  fs::current_path(previous, ec);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(context->destFolder[0], '\0');
  EXPECT_EQ(FolderRefusals(), 0u);
  EXPECT_EQ(ReadBytes(root_ + "/here.txt"), "x");
}

TEST_F(DialogTest, ANetworkFolderIsRefusedAndTheDialogStaysUsable) {
  Pack({{"", "f.txt", "data"}});
  for (const std::string& typed : {std::string("\\\\server\\share"),
                                   std::string("\"\\\\server\\share\""),
                                   std::string("\\\"\\server")}) {
    SCOPED_TRACE(typed);
    scripted::Reset();
    Type(typed);
    Press(IDC_OK);
    // The actions run out here: the scripted dialog then cancels.
    EXPECT_EQ(RunMainDialog(0), 0);

    ASSERT_EQ(scripted::Boxes().size(), 1u);
    const scripted::Box& box = scripted::Boxes()[0];
    EXPECT_EQ(box.text, TEXT_BAD_FOLDER);
    EXPECT_EQ(box.caption, context->config.windowTitle);
    EXPECT_EQ(box.style, static_cast<uint32_t>(kBoxOk | kIconWarning));
    EXPECT_EQ(box.owner, kDialogWindow);
    EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), typed);
    for (int id : {IDC_OK, IDC_BROWSE, IDC_FOLDER_EDIT}) EXPECT_TRUE(scripted::ControlEnabled(id));
    EXPECT_EQ(context->extracting, 0);
    EXPECT_TRUE(scripted::ControlTextHistory(IDC_PROGRESS).empty());
  }
}

// The ANSI road where the system's code page is not 932: a folder with a byte
// from 0x80 on, typed or chosen, is refused before anything is written (0xE9
// is an e with an accent there, and would lose itself or a separator here).
TEST_F(DialogTest, OnAnotherCodePageAFolderBeyondAsciiIsRefusedNotCut) {
  hostplatform::SetForeignCodePage(true);
  Pack({{"", "f.txt", "data"}});
  const std::string jose = root_ + "/Jos\xE9";
  for (const std::string& typed : {jose, jose + "/sub", "\"" + jose + "\""}) {
    SCOPED_TRACE(typed);
    scripted::Reset();
    Type(typed);
    Press(IDC_OK);
    EXPECT_EQ(RunMainDialog(0), 0);
    EXPECT_EQ(FolderRefusals(), 1u);
    EXPECT_EQ(context->extracting, 0);
  }
  for (const std::string& chosen : {jose, jose + "/sub"}) {
    SCOPED_TRACE(chosen);
    scripted::Reset();
    scripted::SetChooserResult(chosen.c_str());
    Press(IDC_BROWSE);
    EXPECT_EQ(RunMainDialog(0), 0);
    EXPECT_EQ(FolderRefusals(), 1u);
    EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), context->config.installFolder);
  }
  scripted::Reset();
  Type(root_ + "/plain");
  Press(IDC_OK);
  EXPECT_EQ(RunMainDialog(0), 1);
  EXPECT_EQ(FolderRefusals(), 0u);
  EXPECT_EQ(ReadBytes(root_ + "/plain/f.txt"), "data");
  EXPECT_FALSE(FileExists(root_ + "/Jos"));
  EXPECT_FALSE(FileExists(root_ + "/Jos/f.txt"));
}

TEST_F(DialogTest, ARefusedFolderCanBeCorrected) {
  Pack({{"", "f.txt", "data"}});
  Type("\\\\server\\share");
  Press(IDC_OK);
  Type(root_ + "/fixed");
  Press(IDC_OK);
  EXPECT_EQ(RunMainDialog(0), 1);
  EXPECT_EQ(FolderRefusals(), 1u);
  EXPECT_EQ(ReadBytes(root_ + "/fixed/f.txt"), "data");
}

TEST_F(DialogTest, OkDuringTheExtractionDoesNotStartASecondPass) {
  // Three hand-overs of the stored copy, so the pump runs while the first entry
  // is written; OK and the check boxes delivered there must change nothing.
  Pack({{"", "big.bin", Pattern(200000, 'b')}, {"", "small.txt", "s"}});
  context->groupChecked = 1;
  context->classChecked = 0;
  scripted::QueuePumpCommand(1, IDC_OK);
  scripted::QueuePumpCommand(2, IDC_GROUP_BOX);
  scripted::QueuePumpCommand(3, IDC_CLASS_BOX);
  scripted::QueuePumpCommand(4, IDC_BROWSE);
  scripted::SetChooserResult("/elsewhere");
  Type(root_ + "/out");
  Press(IDC_OK);
  EXPECT_EQ(RunMainDialog(0), 1);

  ASSERT_GE(scripted::PumpCount(), 4);
  int starts = 0;
  for (const std::string& t : scripted::ControlTextHistory(IDC_PROGRESS)) {
    if (t == TEXT_PROGRESS_ZERO) ++starts;
  }
  EXPECT_EQ(starts, 2);   // one per entry: no nested pass
  EXPECT_EQ(context->groupChecked, 1);
  EXPECT_EQ(context->classChecked, 0);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), root_ + "/out");
  EXPECT_EQ(ReadBytes(root_ + "/out/small.txt"), "s");
}

TEST_F(DialogTest, AFolderLongerThanTheFieldIsReadWholeOrRefused) {
  // Browse may put a 255-character folder in quotes into the field: 257
  // characters. Read whole, the quotes go and the folder fits exactly.
  std::string fits = root_ + "/a b";
  fits += std::string(255 - fits.size(), 'x');
  ASSERT_EQ(fits.size(), 255u);
  scripted::SetChooserResult(fits.c_str());
  Press(IDC_BROWSE);
  Press(IDC_OK);
  EXPECT_EQ(RunMainDialog(0), 1);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "\"" + fits + "\"");
  EXPECT_EQ(std::string(context->destFolder), fits);
  EXPECT_EQ(FolderRefusals(), 0u);

  // One more character no longer fits destFolder: the chooser offers
  // nothing (the system's stays open), so the field keeps what it had.
  // Never cut.
  for (const std::string& tooLong : {fits + "y", fits + "表"}) {
    SCOPED_TRACE(tooLong.size());
    scripted::Reset();
    CopyText(context->config.installFolder, "C:\\Kept", kInstallFolderCap);
    scripted::SetChooserResult(tooLong.c_str());
    Press(IDC_BROWSE);
    Press(IDC_CANCEL);
    EXPECT_EQ(RunMainDialog(0), 0);
    EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "C:\\Kept");
    EXPECT_LE(TextLength(context->destFolder), 255u);
  }
}

// -------------------------------------------------------------------- Cancel

TEST_F(DialogTest, CancelBeforeOkEndsWithZeroAndWritesNothing) {
  Pack({{"", "never.txt", "n"}});
  CopyText(context->config.installFolder, (root_ + "/dest").c_str(), kInstallFolderCap);
  Press(IDC_CANCEL);
  EXPECT_EQ(RunMainDialog(0), 0);
  EXPECT_EQ(scripted::DialogResult(), 0);
  EXPECT_FALSE(fs::exists(root_ + "/dest"));
  EXPECT_TRUE(scripted::ControlTextHistory(IDC_PROGRESS).empty());
}

TEST_F(DialogTest, CancelWhileExtractingOnlyRecordsTheRequest) {
  OnDialogInit(kDialogWindow);
  context->extracting = 1;
  EXPECT_EQ(OnDialogCommand(kDialogWindow, IDC_CANCEL), 1);
  EXPECT_EQ(context->cancelRequested, 1);
  EXPECT_EQ(scripted::DialogResult(), -2);   // the dialog has not been ended
  context->extracting = 0;
  OnDialogCommand(kDialogWindow, IDC_CANCEL);
  EXPECT_EQ(scripted::DialogResult(), 0);
}

TEST_F(DialogTest, CancelDuringTheExtractionEndsTheRunAndRemovesThePartialFile) {
  Pack({{"", "big.bin", Pattern(300000, 'c')}, {"", "after.txt", "a"}});
  const std::string out = root_ + "/out";
  EXPECT_EXIT(
      {
        scripted::QueuePumpCommand(1, IDC_CANCEL);
        Type(out);
        Press(IDC_OK);
        RunMainDialog(0);
        _exit(7);   // reached only if Cancel did not end the run
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_TRUE(fs::is_directory(out));
  EXPECT_FALSE(fs::exists(out + "/big.bin"));
  EXPECT_FALSE(fs::exists(out + "/after.txt"));
}

// -------------------------------------------------------------------- Browse

TEST_F(DialogTest, BrowsePutsTheChosenFolderIntoTheField) {
  CopyText(context->config.installFolder, "C:\\Start", kInstallFolderCap);
  OnDialogInit(kDialogWindow);

  // Cancelled chooser: nothing changes.
  EXPECT_EQ(OnDialogCommand(kDialogWindow, IDC_BROWSE), 1);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "C:\\Start");

  scripted::SetChooserResult("D:\\表示\\tools");
  OnDialogCommand(kDialogWindow, IDC_BROWSE);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "D:\\表示\\tools");

  scripted::SetChooserResult("D:\\Program Files\\tools");
  OnDialogCommand(kDialogWindow, IDC_BROWSE);
  EXPECT_EQ(scripted::ControlText(IDC_FOLDER_EDIT), "\"D:\\Program Files\\tools\"");
  // The chooser leaves its folder as the destination so far; OK reads the
  // field again, so what the user types after it wins.
  EXPECT_STREQ(context->destFolder, "D:\\Program Files\\tools");
}

TEST_F(DialogTest, AFolderChosenWithABlankIsExtractedIntoWithoutQuotes) {
  Pack({{"", "f.txt", "chosen"}});
  const std::string chosen = root_ + "/Program Files";
  scripted::SetChooserResult(chosen.c_str());
  Press(IDC_BROWSE);
  Press(IDC_OK);
  EXPECT_EQ(RunMainDialog(0), 1);
  EXPECT_EQ(std::string(context->destFolder), chosen);
  EXPECT_EQ(ReadBytes(chosen + "/f.txt"), "chosen");
}

// ---------------------------------------------------------------- check boxes

TEST_F(DialogTest, CheckBoxCommandsFlipTheirFlagAndMark) {
  context->groupChecked = 1;
  context->classChecked = 1;
  OnDialogInit(kDialogWindow);
  const int expectedGroup[] = {0, 1, 0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(OnDialogCommand(kDialogWindow, IDC_GROUP_BOX), 1);
    EXPECT_EQ(context->groupChecked, expectedGroup[i]);
    EXPECT_EQ(scripted::CheckMark(IDC_GROUP_BOX), expectedGroup[i]);
    EXPECT_EQ(context->classChecked, 1);   // the other box is untouched
  }
  OnDialogCommand(kDialogWindow, IDC_CLASS_BOX);
  EXPECT_EQ(context->classChecked, 0);
  EXPECT_EQ(scripted::CheckMark(IDC_CLASS_BOX), 0);
  EXPECT_EQ(OnDialogCommand(kDialogWindow, 1234), 0);   // not the dialog's
}

// ---------------------------------------------------------------------- timer

TEST_F(DialogTest, TheTimerPostsOkOnce) {
  Pack({{"", "auto.txt", "auto"}});
  autoStart = 1;
  CopyText(context->config.installFolder, (root_ + "/auto").c_str(), kInstallFolderCap);
  Tick(1);
  EXPECT_EQ(RunMainDialog(0), 1);
  EXPECT_FALSE(scripted::TimerRunning(1));
  EXPECT_EQ(ReadBytes(root_ + "/auto/auto.txt"), "auto");
}

TEST_F(DialogTest, ARefusedAutomaticStartLeavesTheDialogWaiting) {
  autoStart = 1;
  CopyText(context->config.installFolder, "\\\\server\\share", kInstallFolderCap);
  Tick(1);
  Tick(2);   // another timer's message is not the automatic start
  EXPECT_EQ(RunMainDialog(0), 0);
  EXPECT_EQ(FolderRefusals(), 1u);
  EXPECT_FALSE(scripted::TimerRunning(1));
}

// ---------------------------------------------------------- close and icon

TEST_F(DialogTest, CloseReleasesTheIconOnce) {
  OnDialogInit(kDialogWindow);
  EXPECT_NE(dialogIcon, 0u);
  OnDialogClose(kDialogWindow);
  EXPECT_EQ(dialogIcon, 0u);
  OnDialogClose(kDialogWindow);   // a second close has nothing left to release
  EXPECT_EQ(dialogIcon, 0u);
}

// ----------------------------------------------------------- DDE acknowledge

TEST_F(DialogTest, AcknowledgesFollowTheConversationState) {
  const WindowHandle first = 0x501;
  const WindowHandle second = 0x502;

  // Idle conversations, and finished ones that had a server, ignore
  // acknowledges (a finished one without a server ends the sender's).
  for (WindowHandle server : {WindowHandle{0}, second}) {
    ddeState = server == 0 ? 0 : -1;
    ddeServer = server;
    OnDdeAcknowledge(kDialogWindow, first);
    EXPECT_EQ(ddeState, server == 0 ? 0 : -1);
    EXPECT_EQ(ddeServer, server);
  }
  EXPECT_TRUE(scripted::DdeEvents().empty());

  // Initiating: the answering window becomes the server.
  ddeState = 1;
  OnDdeAcknowledge(kDialogWindow, first);
  EXPECT_EQ(ddeServer, first);

  // Executing: the terminate goes to the recorded server, not the sender.
  ddeState = 2;
  OnDdeAcknowledge(kDialogWindow, second);
  EXPECT_EQ(ddeState, -1);
  ASSERT_FALSE(scripted::DdeEvents().empty());
  EXPECT_EQ(scripted::DdeEvents().back().kind, scripted::DdeEvent::kTerminate);
  EXPECT_EQ(scripted::DdeEvents().back().server, first);
}

// ------------------------------------------------------------- RemoveQuotes

TEST(RemoveQuotes, DropsEveryQuoteAndKeepsTheRest) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\"", "C:\\Program Files"},
      {"C:\\a\"b\"c", "C:\\abc"},
      {"\"\"\"", ""},
      {"", ""},
      {"plain", "plain"},
      {"\"表示\\ソフト\"", "表示\\ソフト"},   // second bytes 0x5C stay
  };
  for (const Case& c : cases) {
    char buffer[kDestFolderCap];
    CopyText(buffer, c.in, sizeof buffer);
    RemoveQuotes(buffer, kDestFolderCap);
    EXPECT_STREQ(buffer, c.out) << c.in;
  }
}

TEST(RemoveQuotes, StaysInsideItsLimit) {
  // The limit is the text's capacity: at most limit - 1 bytes are examined and
  // the terminator lands inside it, also for a text with no terminator there.
  char buffer[8];
  memcpy(buffer, "abcdefgh", 8);   // no terminator at all
  RemoveQuotes(buffer, 5);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(memcmp(buffer + 5, "fgh", 3), 0);   // nothing past the limit touched

  memcpy(buffer, "a\"b\"cdef", 8);
  RemoveQuotes(buffer, 6);
  EXPECT_STREQ(buffer, "abc");

  // A double-byte character that would be split by the limit is left out whole.
  char sjis[8];
  CopyText(sjis, "ab表", sizeof sjis);   // 'a' 'b' 0x95 0x5C
  RemoveQuotes(sjis, 4);
  EXPECT_STREQ(sjis, "ab");
  CopyText(sjis, "ab表", sizeof sjis);
  RemoveQuotes(sjis, 5);
  EXPECT_STREQ(sjis, "ab表");

  char one[1] = {'x'};
  RemoveQuotes(one, 0);   // nothing may be written
  EXPECT_EQ(one[0], 'x');
  RemoveQuotes(one, 1);
  EXPECT_EQ(one[0], '\0');
}

}  // namespace
