// The setup script: its lines and directives, the first reading (titles,
// folder, boxes, command), the fields of the second, and what the second
// drives: the four class keys or the WIN.INI entry of a file type, and the
// Program Manager conversation, with its bound when a server stays silent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/text.h"
#include "platform/testing/host_platform.h"
#include "setup/setup.h"
#include "test_support.h"
#include "run/dialog.h"
#include "ui/scripted/scripted_ui.h"
#include "ui/ui.h"

namespace {

using scripted::DdeEvent;
using scripted::kDialogWindow;

class SetupTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    CopyText(context->destFolder, "C:\\Dest", kDestFolderCap);
  }
  void Script(const std::string& text) {
    ASSERT_LT(text.size(), kScriptCap);
    memcpy(context->scriptBuffer, text.c_str(), text.size() + 1);
  }
};

// ------------------------------------------------------------ first reading

struct Applied {
  std::string windowTitle, installTitle, installFolder, classBox, groupBox, command;
  int classChecked, groupChecked;
};

Applied Want(std::string windowTitle = "", std::string installTitle = "",
             std::string installFolder = "", std::string classBox = "",
             std::string groupBox = "", std::string command = "", int classChecked = 0,
             int groupChecked = 0) {
  return {windowTitle, installTitle, installFolder, classBox, groupBox, command, classChecked,
          groupChecked};
}

Applied Read(const ExtractContext* c) {
  return {c->config.windowTitle, c->config.installTitle, c->config.installFolder,
          c->classBoxTitle,      c->groupBoxTitle,       c->config.command,
          c->classChecked,       c->groupChecked};
}

void ExpectApplied(const Applied& want, const Applied& got) {
  EXPECT_EQ(got.windowTitle, want.windowTitle);
  EXPECT_EQ(got.installTitle, want.installTitle);
  EXPECT_EQ(got.installFolder, want.installFolder);
  EXPECT_EQ(got.classBox, want.classBox);
  EXPECT_EQ(got.groupBox, want.groupBox);
  EXPECT_EQ(got.command, want.command);
  EXPECT_EQ(got.classChecked, want.classChecked);
  EXPECT_EQ(got.groupChecked, want.groupChecked);
}

TEST_F(SetupTest, EveryDirectiveOfTheFirstReadingWithAnySeparator) {
  const Applied all{"窓", "題", "C:\\App", "関連", "メニュー", "run.exe /s", 1, 1};
  const char* lines[] = {"$WindowTitle=窓", "$InstallTitle=題", "$InstallDir=C:\\App",
                         "$ClassTitle=関連", "$GroupTitle=メニュー", "$Command=run.exe /s",
                         "$Class=.x,X,x.exe,xfile", "$Group=G,I,x.exe,"};
  for (const char* separator : {"\r\n", "\n", "\t", "\x01", "\x1f", "\r\n\r\n\t"}) {
    SCOPED_TRACE(testing::PrintToString(separator));
    memset(context, 0, sizeof *context);
    std::string script;
    for (const char* line : lines) script += std::string(line) + separator;
    Script(script);
    ApplySetupScript();
    ExpectApplied(all, Read(context));
  }
}

TEST(Directives, EachKeywordIsMatchedAsItsOwnCode) {
  for (int code = kWindowTitle; code <= kCommand; ++code) {
    std::string line = std::string(DirectiveKeyword(code)) + "v";
    const char* position = line.c_str();
    EXPECT_EQ(MatchDirective(&position), code) << line;
    EXPECT_STREQ(position, "v") << line;
  }
  EXPECT_STREQ(DirectiveKeyword(kNoDirective), "");
  EXPECT_STREQ(DirectiveKeyword(kCommand + 1), "");
}

TEST_F(SetupTest, KeywordsAreExactAndValuesKeptAsTheyStand) {
  struct Case {
    const char* script;
    Applied want;
  } cases[] = {
      // Letter case, a leading blank and a missing "=" are no keywords.
      {"$windowtitle=a\n $WindowTitle=b\n$WindowTitle c\n$WINDOWTITLE=d", Want()},
      // A leading tab is a separator, so that line counts.
      {"\t$WindowTitle=tab", Want("tab")},
      // Blanks and quotes belong to the value; the later line wins.
      {"$WindowTitle=one\n$WindowTitle= \"two\" ", Want(" \"two\" ")},
      // An empty title line still marks its box, and clears an earlier title.
      {"$ClassTitle=x\n$ClassTitle=\n$GroupTitle=", Want("", "", "", "", "", "", 1, 1)},
      // Of two folders the first non-empty one wins.
      {"$InstallDir=\n$InstallDir=%WinDir%\\a\n$InstallDir=b", Want("", "", "%WinDir%\\a")},
      // Bytes of double-byte characters and DEL are line bytes.
      {"$Command=\x83\x5c\x7f\x81\x40", Want("", "", "", "", "", "\x83\x5c\x7f\x81\x40")},
      // Unknown keywords and text without a keyword are ignored.
      {"$Unknown=1\nplain text\n=\n$", Want()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    memset(context, 0, sizeof *context);
    Script(c.script);
    ApplySetupScript();
    ExpectApplied(c.want, Read(context));
  }
}

TEST_F(SetupTest, AFolderFromTheBlockOrCommandLineWinsOverTheScript) {
  CopyText(context->config.installFolder, "D:\\Given", kInstallFolderCap);
  Script("$InstallDir=C:\\Script");
  ApplySetupScript();
  EXPECT_STREQ(context->config.installFolder, "D:\\Given");
}

TEST_F(SetupTest, LongValuesAreCutAndNeverOverrunTheirMembers) {
  // The 255-byte cut: what follows on the same line is no directive.
  std::string longValue(300, 'v');
  Script("$Command=" + longValue + "$WindowTitle=no\n$InstallDir=" + longValue);
  ApplySetupScript();
  EXPECT_EQ(std::string(context->config.command), std::string(255, 'v'));
  EXPECT_EQ(std::string(context->config.installFolder), std::string(255, 'v'));
  EXPECT_STREQ(context->config.windowTitle, "");

  // Titles are cut to their members at a whole character.
  memset(context, 0, sizeof *context);
  std::string kana;
  for (int i = 0; i < 60; ++i) kana += "\x83\x41";   // 120 bytes
  Script("$WindowTitle=a" + kana + "\n$ClassTitle=" + kana + "\n$GroupTitle=b" + kana);
  ApplySetupScript();
  EXPECT_EQ(std::string(context->config.windowTitle), "a" + kana.substr(0, 38));
  EXPECT_EQ(std::string(context->classBoxTitle), kana.substr(0, 78));
  EXPECT_EQ(std::string(context->groupBoxTitle), "b" + kana.substr(0, 78));

  // A line of 255 bytes whose last one is a lead byte loses that byte.
  memset(context, 0, sizeof *context);
  Script("$Command=" + std::string(254, 'c') + "\x83\x41");
  ApplySetupScript();
  EXPECT_EQ(std::string(context->config.command), std::string(254, 'c'));
}

TEST_F(SetupTest, TheCommandIsSplitIntoFileAndParameters) {
  struct Case {
    const char* command;
    const char* file;
    const char* parameters;
  } cases[] = {
      {"\"C:\\My Tools\\app.exe\"  -x \"y\" ", "C:\\My Tools\\app.exe", "-x \"y\" "},
      {"\"C:\\My Tools\\app.exe -x", "C:\\My Tools\\app.exe -x", ""},   // never closed
      {"ab\"c d\" e", "ab\"c", "d\" e"},                                  // a quote inside the file
      {"   \t ", "", ""},                                                // blanks only
      {"run.exe\t/s  /q", "run.exe", "/s  /q"},                          // split at a tab
      {" \t\"x y\"z w", "x y", "z w"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    hostplatform::Reset();
    CopyText(context->config.command, c.command, kCommandCap);
    LaunchCommand(kDialogWindow);
    ASSERT_EQ(hostplatform::ShellOpens().size(), 1u);
    EXPECT_EQ(hostplatform::ShellOpens()[0].file, c.file);
    EXPECT_EQ(hostplatform::ShellOpens()[0].parameters, c.parameters);
    EXPECT_EQ(hostplatform::ShellOpens()[0].directory, "C:\\Dest");
  }
}

// ------------------------------------------------------------------ fields

TEST(NextField, QuotesCommasAndMissingFields) {
  struct Case {
    const char* value;
    std::vector<std::string> fields;   // four
  } cases[] = {
      {".txt,\"Text, plain\",bin\\app.exe,txtfile", {".txt", "Text, plain", "bin\\app.exe", "txtfile"}},
      {"NoCommas", {"NoCommas", "", "", ""}},
      {"a,,c", {"a", "", "c", ""}},
      {"a,b,c,d,e,f", {"a", "b", "c", "d"}},
      {"\"a\"\"b\",x\"y,z\"", {"ab", "xy,z", "", ""}},
      {"\"open,", {"open,", "", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const char* p = c.value;
    for (const std::string& want : c.fields) {
      char field[64];
      EXPECT_EQ(NextField(&p, field, sizeof field), 1);
      EXPECT_EQ(std::string(field), want);
    }
  }
}

TEST(NextField, AFieldThatDoesNotFitSaysSoAndStaysInside) {
  const char* value = "123456789,next";
  char field[8];
  memset(field, 'X', sizeof field);
  const char* p = value;
  EXPECT_EQ(NextField(&p, field, 6), 0);
  EXPECT_EQ(std::string(field), "12345");
  EXPECT_EQ(field[6], 'X');
  EXPECT_EQ(NextField(&p, field, sizeof field), 1);
  EXPECT_EQ(std::string(field), "next");
}

TEST(LowerCaseExtension, OnlySingleByteCapitalsChange) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {".TXT", ".txt"},
      {".Doc1", ".doc1"},
      {".\x83\x41Z", ".\x83\x41z"},       // 0x41 is a second byte: it stays
      {".\x88\x9f\x82\x60", ".\x88\x9f\x82\x60"},
      {".\xb1X", ".\xb1x"},               // a half-width katakana is one byte
      {"A\x83", "a\x83"},                 // a lead byte at the end is left alone
  };
  for (const Case& c : cases) {
    char text[kExtensionCap] = {};
    memcpy(text, c.in, strlen(c.in));
    LowerCaseExtension(text);
    EXPECT_EQ(std::string(text), c.out) << c.in;
  }
}

// --------------------------------------------------------------- file types

TEST_F(SetupTest, AssociationWritesTheFourKeysInOrderWithTheShortPath) {
  // The query sees the field as written; the separators are made backslashes after it.
  hostplatform::SetShortPath("C:\\Dest\\My Tools/viewer.exe", "C:\\Dest\\MYTOOL~1\\viewer.exe");
  context->classChecked = 1;
  Script("$ClassTitle=関連付け\r\n$Class=.VWR,\"Viewer, data\",My Tools/viewer.exe,Vwr.File\r\n");
  RunSetupActions(kDialogWindow);

  using W = hostplatform::ClassesRootWrite;
  const std::string path = "C:\\Dest\\MYTOOL~1\\viewer.exe";
  std::vector<W> want = {
      {".vwr", "(標準)", "Vwr.File"},
      {"Vwr.File", "(標準)", "Viewer, data"},
      {"Vwr.File\\shell\\open\\command", "(標準)", "\"" + path + "\" \"%1\""},
      {"Vwr.File\\DefaultIcon", "(標準)", path + ",0"},
  };
  const std::vector<W>& got = hostplatform::ClassesRootWrites();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].key, want[i].key);
    EXPECT_EQ(got[i].classString, want[i].classString);
    EXPECT_EQ(got[i].value, want[i].value);
  }
  EXPECT_STREQ(context->className, "Vwr.File\\DefaultIcon");
  EXPECT_TRUE(hostplatform::ProfileWrites().empty());
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
}

TEST_F(SetupTest, UnderWin32sTheAssociationGoesToWinIni) {
  isWin32s = 1;
  hostplatform::SetShortPath("C:\\Dest\\app.exe", "C:\\DEST\\APP.EXE");
  context->classChecked = 1;
  // WIN.INI names no class: an empty one, or one too long for a class key
  // or for the class member itself, still gives the entry.
  Script("$Class=.ABC,Desc,app.exe,abcfile\n$Class=\x83\x41X,D,app.exe,c\n$Class=.e1,D,app.exe,\n"
         "$Class=.e2,D,app.exe," + std::string(70, 'c') + "\n$Class=.e3,D,app.exe," +
         std::string(kClassNameCap, 'c') + "\n$Class=.e4,D,app.exe," + std::string(300, 'c'));
  RunSetupActions(kDialogWindow);
  EXPECT_TRUE(hostplatform::ClassesRootWrites().empty());
  ASSERT_EQ(hostplatform::ProfileWrites().size(), 6u);
  EXPECT_EQ(hostplatform::ProfileWrites()[4].key, "e3");
  EXPECT_EQ(hostplatform::ProfileWrites()[5].value, "C:\\DEST\\APP.EXE ^.e4");
  EXPECT_EQ(hostplatform::ProfileWrites()[2].key, "e1");
  EXPECT_EQ(hostplatform::ProfileWrites()[3].value, "C:\\DEST\\APP.EXE ^.e2");
  EXPECT_EQ(hostplatform::ProfileWrites()[0].section, "Extensions");
  EXPECT_EQ(hostplatform::ProfileWrites()[0].key, "abc");
  EXPECT_EQ(hostplatform::ProfileWrites()[0].value, "C:\\DEST\\APP.EXE ^.abc");
  // The first byte is dropped whatever it is, even a lead byte.
  EXPECT_EQ(hostplatform::ProfileWrites()[1].key, "\x41x");
  EXPECT_EQ(hostplatform::ProfileWrites()[1].value, "C:\\DEST\\APP.EXE ^\x83\x41x");
}

TEST_F(SetupTest, WhatIsRegisteredForEachProgramField) {
  struct Case {
    const char* program;
    const char* folder;
    std::string command;   // the open command's path; empty: nothing written
  } cases[] = {
      // No short form (the file is missing): the full path, not the bare name.
      {"bin/tool.exe", "C:\\Dest", "C:\\Dest\\bin\\tool.exe"},
      {"tool.exe", "C:\\", "C:\\tool.exe"},
      // An absolute field names its own file.
      {"D:\\Other\\tool.exe", "C:\\Dest", "D:\\Other\\tool.exe"},
      {"\\Root\\tool.exe", "C:\\Dest", "\\Root\\tool.exe"},
      // Folder and field that do not fit 255 bytes: nothing is registered.
      {"t.exe", nullptr, ""},
      // A folder ending in a character whose second byte is 0x5C still gets
      // its separator; one ending in a real backslash gets no second one.
      {"tool.exe", "C:\\表", "C:\\表\\tool.exe"},
      {"tool.exe", "D:\\ソフト\\予", "D:\\ソフト\\予\\tool.exe"},
      {"tool.exe", "C:\\ソ", "C:\\ソ\\tool.exe"},
      {"tool.exe", "C:\\能\\", "C:\\能\\tool.exe"},
  };
  std::string longFolder = "C:\\" + std::string(247, 'f');   // 250 bytes + "\" + 5
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    hostplatform::Reset();
    CopyText(context->destFolder, c.folder ? c.folder : longFolder.c_str(), kDestFolderCap);
    context->classChecked = 1;
    Script(std::string("$Class=.e,E,") + c.program + ",efile");
    RunSetupActions(kDialogWindow);
    const auto& writes = hostplatform::ClassesRootWrites();
    if (c.command.empty()) {
      EXPECT_TRUE(writes.empty());
      continue;
    }
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].value, "\"" + c.command + "\" \"%1\"");
  }
}

TEST_F(SetupTest, AssociationsThatWouldBeWrongAreLeftOutWhole) {
  std::string name60(60, 'n');
  struct Case {
    std::string line;
    size_t writes;
  } cases[] = {
      {"$Class=.e,E,a.exe," + name60, 4},            // the longest key is 79 bytes
      {"$Class=.e,E,a.exe," + name60 + "n", 0},      // 80: the key buffer is too small
      {"$Class=,E,a.exe,efile", 0},                  // no extension: the root's own value
      {"$Class=.e,E,a.exe,", 0},                     // no class name
      {"$Class=.e" + std::string(19, 'x') + ",E,a.exe,efile", 0},   // extension past 19
      {"$Class=.e,E,a.exe," + std::string(128, 'c'), 0},             // class name past 127
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    hostplatform::Reset();
    scripted::Reset();
    context->classChecked = 1;
    Script(c.line + "\n$Class=.ok,OK,ok.exe,okfile");
    RunSetupActions(kDialogWindow);
    // The next line is carried out either way.
    ASSERT_EQ(hostplatform::ClassesRootWrites().size(), c.writes + 4);
    EXPECT_EQ(hostplatform::ClassesRootWrites()[c.writes].key, ".ok");
  }
}

TEST_F(SetupTest, ALongDescriptionIsCutAtAWholeCharacter) {
  context->classChecked = 1;
  Script("$Class=.e,説明文説明文説明文説明文説明文,a.exe,efile");   // 30 bytes
  RunSetupActions(kDialogWindow);
  ASSERT_EQ(hostplatform::ClassesRootWrites().size(), 4u);
  EXPECT_EQ(hostplatform::ClassesRootWrites()[1].value, "説明文説明文説明文");   // 18 of 19
}

TEST_F(SetupTest, ClearedOrUnannouncedBoxesCarryOutNothingButTheBroadcast) {
  hostplatform::SetShortPath("C:\\Dest\\a.exe", "C:\\Dest\\a.exe");
  scripted::SetProgmanServer(0x700);
  for (const char* script : {"$Class=.a,A,a.exe,afile\n$Group=G,I,a.exe,", ""}) {
    SCOPED_TRACE(script);
    scripted::Reset();
    scripted::SetProgmanServer(0x700);
    context->classChecked = 0;
    context->groupChecked = 0;
    Script(script);
    RunSetupActions(kDialogWindow);
    EXPECT_TRUE(hostplatform::ClassesRootWrites().empty());
    EXPECT_TRUE(scripted::DdeEvents().empty());
    EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
  }
}

// ----------------------------------------------------------- Program Manager

class ProgmanTest : public SetupTest {
 protected:
  static constexpr WindowHandle kServer = 0x700;
  void SetUp() override {
    SetupTest::SetUp();
    context->groupChecked = 1;
    hostplatform::SetShortPath("C:\\Dest\\bin\\long name.exe", "C:\\Dest\\bin\\LONGNA~1.EXE");
    hostplatform::SetShortPath("C:\\Dest\\icons.dll", "C:\\Dest\\icons.dll");
  }
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    for (const DdeEvent& e : scripted::DdeEvents()) {
      const char* kinds[] = {"initiate", "execute", "terminate"};
      std::string line = kinds[e.kind];
      if (e.server != 0) line += " " + std::to_string(e.server);
      if (e.kind == DdeEvent::kExecute) line += " " + e.command;
      out.push_back(line);
    }
    return out;
  }
};

TEST_F(ProgmanTest, EachGroupLineIsOneWholeConversation) {
  scripted::SetProgmanServer(kServer);
  Script("$GroupTitle=\n$Group=ツール,Item A,bin\\long name.exe,icons.dll\n"
         "$Group=\"Grp, two\",Viewer),bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  std::vector<std::string> want = {
      "initiate",
      "execute 1792 [CreateGroup(\"ツール\",0)]\n[AddItem(C:\\Dest\\bin\\LONGNA~1.EXE,Item A,C:\\Dest\\icons.dll)]",
      "terminate 1792",
      "initiate",
      "execute 1792 [CreateGroup(\"Grp, two\",0)]\n[AddItem(C:\\Dest\\bin\\LONGNA~1.EXE,Viewer))]",
      "terminate 1792",
  };
  EXPECT_EQ(Events(), want);
  EXPECT_EQ(ddeState, -1);
  // A window of class "Progman" was there: nothing was started.
  EXPECT_TRUE(hostplatform::StartedPrograms().empty());
  EXPECT_EQ(scripted::SettingsBroadcasts(), 1);
}

TEST_F(ProgmanTest, WithoutAProgmanWindowItIsStartedAndNobodyAnswering) {
  Script("$Group=G,I,bin\\long name.exe,\n$Group=H,J,bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  EXPECT_EQ(hostplatform::StartedPrograms(), std::vector<std::string>({"PROGMAN.EXE", "PROGMAN.EXE"}));
  // Nobody answered the initiates: neither line waits.
  EXPECT_EQ(Events(), std::vector<std::string>({"initiate", "initiate"}));
  EXPECT_EQ(scripted::MessageWaits(), 0);
  EXPECT_EQ(ddeState, -1);
}

TEST_F(ProgmanTest, ASilentServerIsGivenUpAfterTheBoundAndTheNextLineRuns) {
  scripted::SetProgmanServer(kServer);
  scripted::SetExecuteUnacknowledged(true);
  hostplatform::SetClockStep(250);
  Script("$Group=G,I,bin\\long name.exe,\n$Group=H,J,bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[2], "terminate 1792");
  EXPECT_EQ(events[3], "initiate");
  EXPECT_EQ(events[5], "terminate 1792");
  // 10 s at 250 ms a reading: about 40 waits per line, never unbounded.
  EXPECT_GE(scripted::MessageWaits(), 2 * 30);
  EXPECT_LE(scripted::MessageWaits(), 2 * 41);
  EXPECT_EQ(ddeState, -1);
}

TEST_F(ProgmanTest, NoBlockMeansNoExecuteAndTheServerIsReleased) {
  scripted::SetProgmanServer(kServer);
  scripted::FailDdeBlock(true);
  Script("$Group=G,I,bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  EXPECT_EQ(Events(), std::vector<std::string>({"initiate", "terminate 1792"}));
  EXPECT_EQ(scripted::MessageWaits(), 0);
}

TEST_F(ProgmanTest, ASecondAnswerToTheInitiateEndsTheConversation) {
  scripted::SetProgmanServer(kServer);
  scripted::SetSecondInitiateAnswer(0x701);
  Script("$Group=G,I,bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2], "terminate 1792");   // to the first server, not the second
  EXPECT_EQ(ddeState, -1);
  EXPECT_EQ(ddeServer, kServer);
}

TEST_F(ProgmanTest, ALongItemNameIsCutAtAWholeCharacter) {
  scripted::SetProgmanServer(kServer);
  // 1 + 40 double-byte characters: the 40th would end at byte 81, past 79.
  std::string item = "ｱ";
  for (int i = 0; i < 40; ++i) item += "項";
  Script("$Group=H," + item + ",bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1], "execute 1792 [CreateGroup(\"H\",0)]\n[AddItem(C:\\Dest\\bin\\LONGNA~1.EXE," +
                           item.substr(0, 1 + 2 * 39) + ")]");
}

TEST_F(ProgmanTest, AServerThatAnswersAfterTheBoundIsSentATerminate) {
  scripted::SetLateInitiateAnswer(0x702);
  Script("$Group=G,I,bin\\long name.exe,");
  RunSetupActions(kDialogWindow);
  EXPECT_EQ(Events(), std::vector<std::string>({"initiate"}));
  // The dialog goes on pumping: the late acknowledge arrives then.
  PumpMessages(kDialogWindow);
  ASSERT_EQ(Events(), std::vector<std::string>({"initiate", "terminate 1794"}));
  EXPECT_EQ(scripted::DdeEvents()[1].client, kDialogWindow);
  EXPECT_EQ(ddeState, -1);
}

TEST_F(ProgmanTest, LinesWhoseFieldsOrPathsDoNotFitStartNoConversation) {
  scripted::SetProgmanServer(kServer);
  std::string longFolder = "C:\\" + std::string(245, 'f');
  struct Case {
    std::string line;
    const char* folder;
  } cases[] = {
      {"$Group=" + std::string(80, 'g') + ",I,a.exe,", "C:\\Dest"},   // group name past 79
      {"$Group=G,I,program.exe,", longFolder.c_str()},                 // joined past 255
      {"$Group=G,I,a.exe,icon-file.ico", longFolder.c_str()},         // icon joined past 255
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    scripted::Reset();
    scripted::SetProgmanServer(kServer);
    CopyText(context->destFolder, c.folder, kDestFolderCap);
    Script(c.line);
    RunSetupActions(kDialogWindow);
    EXPECT_TRUE(scripted::DdeEvents().empty());
  }
}

}  // namespace
