// The builder end to end on the host: a self-extractor made from a temporary
// tree with a minimal stub, then listed and tested through the stub's code.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "builder.h"
#include "host_os.h"
#include "script_check.h"
#include "core/context.h"
#include "core/little_endian.h"
#include "layout.h"
#include "lzh_writer.h"
#include "test_support.h"

namespace {

// The smallest file with the stub layout: the MS-DOS part and a PE header
// without sections.
std::string MinimalStub() {
  std::vector<uint8_t> v = stublayout::MsDosHeader();
  v.resize(stublayout::kRealModeOffset, 0);
  std::vector<uint8_t> program = stublayout::RealModeProgram();
  v.insert(v.end(), program.begin(), program.end());
  v.resize(stublayout::kPeOffset, 0);
  const uint8_t pe[] = {'P', 'E', 0, 0, 0x4C, 0x01, 0, 0};
  v.insert(v.end(), pe, pe + sizeof pe);
  v.resize(stublayout::kPeOffset + 4 + 20 + 224 + 64, 0);
  size_t coff = stublayout::kPeOffset + 4, opt = coff + 20;
  v[coff + 16] = 224;           // optional header size
  v[opt] = 0x0B;                // PE32
  v[opt + 1] = 0x01;
  v[opt + 60] = static_cast<uint8_t>(v.size());   // SizeOfHeaders
  v[opt + 61] = static_cast<uint8_t>(v.size() >> 8);
  v[opt + 92] = 16;             // data directories
  // The manifest's place for the execution level, as the real stub holds it.
  std::string manifest = "<!--sfx-elevation" + std::string(180, ' ') + "-->";
  v.insert(v.end(), manifest.begin(), manifest.end());
  return std::string(v.begin(), v.end());
}

// The entries that did not come out whole, as "name: problem".
std::vector<std::string> Failures(const std::vector<sfxbuild::EntryReport>& entries) {
  std::vector<std::string> out;
  for (const sfxbuild::EntryReport& e : entries) {
    if (!e.problem.empty()) out.push_back(e.name + ": " + e.problem);
  }
  return out;
}

class BuilderTest : public SfxTest {
 protected:
  // The builder's command line: what it prints on standard output, then
  // "exit N".
  static std::string RunBuilder(const std::string& arguments) {
    return RunShell(Runner() + SFXBUILD_PROGRAM + " " + arguments + " 2>/dev/null");
  }
  // The emulator the build's programs need here, if any, with a blank after it.
  static std::string Runner() {
    std::string runner = SFXBUILD_RUNNER;
    return runner.empty() ? runner : runner + " ";
  }
  static std::string RunShell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return "cannot run";
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    int status = pclose(p);
    return out + "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";
  }

  void SetUp() override {
    SfxTest::SetUp();
    stub_ = TempPath("stub.exe");
    WriteBytes(stub_, MinimalStub());
    tree_ = TempPath("tree");
    mkdir(tree_.c_str(), 0755);
    mkdir((tree_ + "/docs").c_str(), 0755);
    mkdir((tree_ + u8"/表示").c_str(), 0755);
    WriteBytes(tree_ + "/docs/b.txt", Repeat("bravo charlie ", 2000));
    WriteBytes(tree_ + "/docs/a.txt", "alpha");
    WriteBytes(tree_ + "/empty.txt", "");
    WriteBytes(tree_ + u8"/表示/ソフト表.txt", u8"ソフト");
    std::mt19937 rng(1);
    std::string noise(5000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    WriteBytes(tree_ + "/noise.bin", noise);
    chmod((tree_ + "/docs/a.txt").c_str(), 0444);
    options_.stubPath = stub_;
    options_.inputs = {tree_};
  }

  static std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  }

  // Rebuilding: the entries of an earlier self-extractor, new settings.
  void CreateOptionsAfter(const std::string& from) {
    options_.inputs.clear();
    options_.fromArchive = from;
  }

  std::string Build(const std::string& name = "out.exe") {
    std::string out = TempPath(name), why;
    EXPECT_TRUE(sfxbuild::CreateSelfExtractor(options_, out, &why)) << why;
    return out;
  }

  std::string BuildError() {
    std::vector<uint8_t> image;
    std::string why;
    EXPECT_FALSE(sfxbuild::BuildSelfExtractor(options_, &image, &why));
    EXPECT_FALSE(why.empty());
    return why;
  }

  std::string stub_, tree_;
  sfxbuild::CreateOptions options_;
};

TEST_F(BuilderTest, TreeIsListedInSortedOrderAndTestsOk) {
  options_.specials = {{'$', TempPath("s.txt")}, {'!', TempPath("n.txt")}};
  WriteBytes(TempPath("s.txt"), u8"$WindowTitle=テスト\r\n");
  WriteBytes(TempPath("n.txt"), "Read me");
  std::string out = Build();

  sfxbuild::ArchiveListing listing;
  std::string why;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(out, &listing, &why)) << why;
  std::vector<std::string> names;
  for (const auto& e : listing.entries) names.push_back(e.name);
  // Specials first in the order given; folders before their contents, byte order.
  std::vector<std::string> expected = {"$", "!", "tree/", "tree/docs/", "tree/docs/a.txt",
                                       "tree/docs/b.txt", "tree/empty.txt", "tree/noise.bin",
                                       "tree/\x95\x5C\x8E\xA6/",
                                       "tree/\x95\x5C\x8E\xA6/\x83\x5C\x83\x74\x83\x67\x95\x5C.txt"};
  EXPECT_EQ(names, expected);
  // The checksum is there by default, two bytes ahead of the archive.
  EXPECT_EQ(listing.archiveOffset, MinimalStub().size());
  EXPECT_TRUE(listing.hasChecksum);
  EXPECT_EQ(listing.storedChecksum, listing.computedChecksum);

  auto find = [&](const std::string& n) -> const sfxbuild::ListedEntry& {
    for (const auto& e : listing.entries)
      if (e.name == n) return e;
    static sfxbuild::ListedEntry none;
    ADD_FAILURE() << n;
    return none;
  };
  EXPECT_EQ(find("tree/docs/").method, "-lhd-");
  EXPECT_EQ(find("tree/docs/").attribute, 0x10);
  EXPECT_EQ(find("tree/docs/a.txt").attribute, 0x21);   // read-only, archive
  EXPECT_EQ(find("tree/docs/b.txt").method, "-lh7-");
  EXPECT_LT(find("tree/docs/b.txt").packedSize, 1000u);
  EXPECT_EQ(find("tree/noise.bin").method, "-lh0-");    // not smaller: stored
  EXPECT_EQ(find("tree/empty.txt").method, "-lh0-");
  struct stat st;
  stat((tree_ + "/docs/b.txt").c_str(), &st);
  EXPECT_EQ(find("tree/docs/b.txt").time, static_cast<uint32_t>(st.st_mtime));
  // The script was converted to Shift-JIS: "$WindowTitle=" plus 6 bytes and CR LF.
  EXPECT_EQ(find("$").originalSize, 13u + 6u + 2u);

  sfxbuild::TestResult result;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(out, &result, &why)) << why;
  EXPECT_TRUE(Failures(result.entries).empty());
  EXPECT_EQ(result.listing.entries.size(), expected.size());
}

TEST_F(BuilderTest, BlockFieldsAndFlagsAreWritten) {
  options_.windowTitle = u8"セットアップ";
  options_.installTitle = "Install to:";
  options_.installFolder = "%ProgramFiles%\\App";
  options_.command = "\"app.exe\" -x";
  options_.autoStart = options_.overwrite = options_.restoreAttributes = true;
  std::string bytes = ReadBytes(Build());
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  ASSERT_TRUE(stublayout::CheckStubLayout(data, bytes.size(), nullptr, true));
  SfxConfig config;
  memcpy(&config, data + kConfigOffset, sizeof config);
  EXPECT_EQ(ReadLE32(data + kConfigOffset), MinimalStub().size());
  EXPECT_STREQ(config.windowTitle, "セットアップ");   // compiled as Shift-JIS
  EXPECT_STREQ(config.installTitle, "Install to:");
  EXPECT_STREQ(config.installFolder, "%ProgramFiles%\\App");
  EXPECT_STREQ(config.command, "\"app.exe\" -x");
  EXPECT_EQ(config.flags, kFlagAutoStart | kFlagOverwrite | kFlagChecksum);
  EXPECT_EQ(config.restoreAttributes, 1);

  options_.checksum = false;   // --no-checksum
  bytes = ReadBytes(Build());
  memcpy(&config, bytes.data() + kConfigOffset, sizeof config);
  EXPECT_EQ(config.flags, kFlagAutoStart | kFlagOverwrite);
}

TEST_F(BuilderTest, TextsThatDoNotFitTheirFieldAreErrors) {
  options_.windowTitle = std::string(40, 'T');
  std::vector<uint8_t> image;
  std::string why;
  EXPECT_TRUE(sfxbuild::BuildSelfExtractor(options_, &image, &why)) << why;
  options_.windowTitle = std::string(41, 'T');
  EXPECT_NE(BuildError().find("--title"), std::string::npos);
  options_.windowTitle = u8"二十一文字の題名はこの欄に入りきりません。";   // 21 characters, 42 bytes
  BuildError();
  options_.windowTitle = "";
  options_.command = std::string(259, 'c');
  EXPECT_NE(BuildError().find("--command"), std::string::npos);
  options_.command = "";
  options_.installFolder = u8"\U0001F600";   // no Shift-JIS form
  EXPECT_NE(BuildError().find("--folder"), std::string::npos);
}

TEST_F(BuilderTest, NamesThatCannotBeStoredAreErrors) {
  std::string odd = TempPath("odd");
  mkdir(odd.c_str(), 0755);
  options_.inputs = {odd};
  WriteBytes(odd + u8"/\U0001F600.txt", "x");
  EXPECT_NE(BuildError().find("Shift-JIS"), std::string::npos);
  unlink((odd + u8"/\U0001F600.txt").c_str());

  WriteBytes(odd + "/back\\slash", "x");
  BuildError();
  unlink((odd + "/back\\slash").c_str());

  // 259 bytes fit, 260 do not: "odd/" plus the file name.
  std::string fits(255, 'n'), over(256, 'n');
  WriteBytes(odd + "/" + fits.substr(0, 200), "x");
  mkdir((odd + "/" + std::string(50, 'd')).c_str(), 0755);
  WriteBytes(odd + "/" + std::string(50, 'd') + "/" + std::string(204, 'f'), "x");  // 259
  std::vector<uint8_t> image;
  std::string why;
  EXPECT_TRUE(sfxbuild::BuildSelfExtractor(options_, &image, &why)) << why;
  WriteBytes(odd + "/" + std::string(50, 'd') + "/" + std::string(205, 'g'), "x");  // 260
  EXPECT_NE(BuildError().find("259"), std::string::npos);

  // A top-level "!" would be taken for the notice.
  options_.inputs = {TempPath("!")};
  WriteBytes(TempPath("!"), "x");
  BuildError();
}

TEST_F(BuilderTest, SameInputsGiveTheSameBytes) {
  options_.checksum = true;
  std::string a = ReadBytes(Build("a.exe"));
  std::string b = ReadBytes(Build("b.exe"));
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == b);
  options_.methodDigit = 5;
  EXPECT_FALSE(ReadBytes(Build("c.exe")) == a);
}

// Entries are packed ahead on other threads, large ones with the encoder's
// own threads: the archive must not change with the thread count.
TEST_F(BuilderTest, ThreadCountNeverChangesTheBytes) {
  std::mt19937 rng(2);
  for (int i = 0; i < 12; ++i) {
    std::string body;
    size_t size = i == 5 ? 300000 : rng() % 40000;
    while (body.size() < size) body += "word" + std::to_string(rng() % 500) + ' ';
    WriteBytes(tree_ + "/docs/f" + std::to_string(i) + ".txt", body);
  }
  options_.checksum = true;
  options_.threads = 1;
  std::string one = ReadBytes(Build("one.exe"));
  ASSERT_FALSE(one.empty());
  options_.threads = 4;
  for (int run = 0; run < 3; ++run) EXPECT_TRUE(ReadBytes(Build("four.exe")) == one) << run;
  options_.level = 4;
  EXPECT_LT(ReadBytes(Build("small.exe")).size(), one.size());
  options_.level = 5;
  EXPECT_NE(BuildError().find("level"), std::string::npos);
}

TEST_F(BuilderTest, StubWithoutTheLayoutIsRefused) {
  std::string bad = MinimalStub();
  bad[kConfigOffset + 10] = 'x';   // a block already written
  WriteBytes(stub_, bad);
  EXPECT_NE(BuildError().find("layout"), std::string::npos);
  WriteBytes(stub_, "MZ not a stub");
  BuildError();
  options_.stubPath = TempPath("missing.exe");
  BuildError();
}

TEST_F(BuilderTest, ChecksumIsTheXorOfTheFileCrcsAndCatchesTampering) {
  options_.checksum = true;
  std::string out = Build();
  sfxbuild::ArchiveListing listing;
  std::string why;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(out, &listing, &why)) << why;
  ASSERT_TRUE(listing.hasChecksum);
  uint16_t x = 0;
  for (const auto& e : listing.entries) x ^= e.fileCrc;
  EXPECT_NE(x, 0);
  EXPECT_EQ(listing.storedChecksum, x);
  std::string bytes = ReadBytes(out);
  EXPECT_EQ(static_cast<uint8_t>(bytes[listing.archiveOffset]), x & 0xFF);

  bytes[listing.archiveOffset] ^= 1;
  WriteBytes(out, bytes);
  sfxbuild::TestResult result;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(out, &result, &why)) << why;
  EXPECT_FALSE(result.checksumOk);
}

TEST_F(BuilderTest, DataAppendedAfterTheArchiveChangesNothing) {
  options_.checksum = true;
  std::string out = Build();
  std::string bytes = ReadBytes(out);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), std::string(2, '\0'));   // the end mark
  // Something that would read as a header if the walk went on.
  WriteBytes(out, bytes + Bytes("\x30\x00-lh0-") + std::string(3000, '\x5A'));
  sfxbuild::TestResult result;
  std::string why;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(out, &result, &why)) << why;
  EXPECT_TRUE(Failures(result.entries).empty());
  EXPECT_EQ(result.listing.entries.size(), 8u);
}

// A damaged first entry among good ones: named with its reason, the others
// tested and extracted, nothing left of the damaged one; the command line
// prints a line per entry and a summary, and exits with 1.
TEST_F(BuilderTest, ADamagedEntryIsReportedAndTheOthersGoOn) {
  std::string tree = TempPath("three");
  mkdir(tree.c_str(), 0755);
  WriteBytes(tree + "/a.txt", Repeat("alpha beta gamma ", 3000));
  WriteBytes(tree + "/b.txt", Repeat("delta epsilon ", 3000));
  WriteBytes(tree + "/c.txt", Repeat("zeta eta theta ", 3000));
  options_.inputs = {tree + "/."};
  options_.checksum = false;
  const std::string good = Build("three.exe");
  std::string why;
  sfxbuild::ArchiveListing listing;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(good, &listing, &why)) << why;
  ASSERT_EQ(listing.entries[0].name, "a.txt");
  ASSERT_EQ(listing.entries[0].method, "-lh7-");

  // The first header's fields, with its header CRC made right again.
  const std::string bytes = ReadBytes(good);
  const size_t header = listing.archiveOffset;
  const size_t headerSize = static_cast<uint8_t>(bytes[header]) | static_cast<uint8_t>(bytes[header + 1]) << 8;
  auto rewrite = [&](std::string* b, size_t offset, const std::string& field) {
    b->replace(header + offset, field.size(), field);
    const uint8_t* h = reinterpret_cast<const uint8_t*>(b->data() + header);
    size_t crcAt = 0;
    WalkExtendedHeaders(h, kHeaderFirstExtSize, headerSize,
                        [&](uint8_t type, const uint8_t* data, unsigned) {
                          if (type == kExtHeaderCrc) crcAt = static_cast<size_t>(data - h);
                        });
    b->replace(header + crcAt, 2, std::string(2, '\0'));
    b->replace(header + crcAt, 2, Le16(ReferenceCrc(b->substr(header, headerSize))));
  };
  struct Case {
    const char* reason;
    std::string file;
  } cases[] = {{"bad Huffman table", bytes}, {"data ends early", bytes}, {"CRC error", bytes}};
  cases[0].file.replace(header + headerSize + 2, 8, std::string(8, '\xff'));
  rewrite(&cases[1].file, kHeaderOriginalSize, Le32(listing.entries[0].originalSize + 100000));
  rewrite(&cases[2].file, kHeaderFileCrc, Le16(listing.entries[0].fileCrc ^ 1));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::string damaged = TempPath("damaged.exe");
    WriteBytes(damaged, c.file);
    sfxbuild::TestResult tested;
    ASSERT_TRUE(sfxbuild::TestSelfExtractor(damaged, &tested, &why)) << why;
    EXPECT_EQ(Failures(tested.entries), std::vector<std::string>({std::string("a.txt: ") + c.reason}));
    EXPECT_EQ(tested.entries.size(), 3u);

    std::string dir = TempPath(std::string("out-") + c.reason);
    sfxbuild::ExtractResult extracted;
    ASSERT_TRUE(sfxbuild::ExtractArchive(damaged, dir, &extracted, &why)) << why;
    EXPECT_EQ(extracted.files, 2u);
    EXPECT_FALSE(FileExists(dir + "/a.txt"));
    EXPECT_EQ(ReadBytes(dir + "/c.txt"), ReadBytes(tree + "/c.txt"));

    std::string out = RunBuilder("test '" + damaged + "'");
    EXPECT_EQ(out, std::string("FAILED  a.txt: ") + c.reason + "\nOK      b.txt\nOK      c.txt\n"
              "3 entries tested, 1 failed\nexit 1\n");
  }
}

TEST_F(BuilderTest, DamagedEntryDataIsReported) {
  options_.methodDigit = 0;
  std::string out = Build();
  std::string bytes = ReadBytes(out);
  size_t at = bytes.find("bravo charlie");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'B';
  WriteBytes(out, bytes);
  sfxbuild::TestResult result;
  std::string why;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(out, &result, &why)) << why;
  ASSERT_EQ(Failures(result.entries), std::vector<std::string>({"tree/docs/b.txt: CRC error"}));
}

TEST_F(BuilderTest, FailedBuildLeavesNoOutputBehind) {
  std::string out = TempPath("keep.exe");
  WriteBytes(out, "previous");
  options_.windowTitle = std::string(60, 'x');
  std::string why;
  EXPECT_FALSE(sfxbuild::CreateSelfExtractor(options_, out, &why));
  EXPECT_EQ(ReadBytes(out), "previous");
  options_.windowTitle = "";
  EXPECT_FALSE(sfxbuild::CreateSelfExtractor(options_, TempPath("no/such/dir.exe"), &why));
  // Only what the test made is left: no temporary next to the output.
  int entries = 0;
  for (const char* n : {"keep.exe", "stub.exe", "tree"}) entries += FileExists(TempPath(n));
  EXPECT_EQ(entries, 3);
  std::string listing;
  FILE* p = popen(("ls -A " + TempDir()).c_str(), "r");
  char line[256];
  while (fgets(line, sizeof line, p)) listing += line;
  pclose(p);
  EXPECT_EQ(listing, "keep.exe\nstub.exe\ntree\n");
}

TEST_F(BuilderTest, NoticeAndScriptMustFitWhatTheStubShows) {
  WriteBytes(TempPath("n.txt"), std::string(1024, 'n'));
  options_.specials = {{'!', TempPath("n.txt")}};
  EXPECT_NE(BuildError().find("notice"), std::string::npos);
  WriteBytes(TempPath("n.txt"), std::string(1023, 'n'));
  std::vector<uint8_t> image;
  std::string why;
  EXPECT_TRUE(sfxbuild::BuildSelfExtractor(options_, &image, &why)) << why;
  WriteBytes(TempPath("s.txt"), Bytes("$Command=a\0b"));
  options_.specials = {{'$', TempPath("s.txt")}};
  EXPECT_NE(BuildError().find("NUL"), std::string::npos);
}

}  // namespace

// ---------------------------------------------------------- setup scripts

namespace {

std::vector<std::string> ScriptWarnings(const std::string& sjis, bool folderGiven = false) {
  std::vector<std::string> out;
  for (const sfxbuild::ScriptWarning& w : sfxbuild::CheckSetupScript(sjis, folderGiven))
    out.push_back(std::to_string(w.line) + ": " + w.text);
  return out;
}

// Every warning begins with one of these, in this order.
void ExpectWarnings(const std::string& script, const std::vector<std::string>& starts,
                    bool folderGiven = false) {
  SCOPED_TRACE(script);
  std::vector<std::string> got = ScriptWarnings(script, folderGiven);
  ASSERT_EQ(got.size(), starts.size()) << testing::PrintToString(got);
  for (size_t i = 0; i < starts.size(); ++i)
    EXPECT_EQ(got[i].compare(0, starts[i].size(), starts[i]), 0) << got[i];
}

}  // namespace

TEST(ScriptCheck, WarnsAboutEveryLineTheStubIgnoresOrChanges) {
  const std::string longValue(300, 'v');
  const std::string className61(61, 'c');
  ExpectWarnings("$WindowTitle=ok\r\n$ClassTitle=\r\n$Class=.a,A,a.exe,afile\r\n", {});
  ExpectWarnings("$windowtitle=x\n $Command=y\n$Foo=1\n$Group", {
      "1: \"$windowtitle=\" is not a keyword (letter case)",
      "2: a blank before \"$Command=\"",
      "3: unknown keyword \"$Foo=\"",
      "4: unknown keyword \"$Group\"",
  });
  // A tab ends a line, so a keyword after one still counts; line numbers
  // follow the line feeds (or lone carriage returns).
  ExpectWarnings("$WindowTitle=a\tb\r$WindowTitle=" + std::string(41, 't'), {
      "2: the window title is 41 bytes: the stub cuts it to 40"});
  ExpectWarnings("$Command=" + longValue, {
      "1: the value is 300 bytes: the stub takes the first 255"});
  ExpectWarnings("$GroupTitle=" + std::string(80, 'g'), {
      "1: the title of the Start-menu box is 80 bytes: the stub cuts it to 79"});
  ExpectWarnings("$Class=.a,A,a.exe,afile\n$Group=G,I,a.exe,", {
      "1: no \"$ClassTitle=\" line", "2: no \"$GroupTitle=\" line"});
  ExpectWarnings("$ClassTitle=\n$Class=.abcdefghijklmnopqrs,A,a.exe,c\n"
                 "$Class=.a,A,a.exe," + className61 + "\n$Class=,A,a.exe,c\n$Class=txt,A,a.exe,c", {
      "2: the extension \".abcdefghijklmnopqrs\" is longer than 19 bytes: the line is left out",
      "3: the class name is 61 bytes",
      "4: the extension and the class name must not be empty",
      "5: the extension \"txt\" does not begin with a dot"});
  ExpectWarnings("$GroupTitle=\n$Group=G,\"Tools, all\",a.exe,\n$Group=G,Tools),a.exe,\n"
                 "$Group=" + std::string(80, 'g') + ",I,a.exe,", {
      "2: the item name \"Tools, all\" holds \",\" or \")\"",
      "3: the item name \"Tools)\" holds",
      "4: the group name"});
  ExpectWarnings("$GroupTitle=\n$Group=G," + std::string(80, 'i') + ",a.exe,", {
      "2: the item name \"" + std::string(80, 'i') +
      "\" is longer than 79 bytes: the stub cuts it to 79"});
  ExpectWarnings("$InstallDir=\n$InstallDir=C:\\a\n$InstallDir=C:\\b", {
      "3: an earlier line names the folder"});
  ExpectWarnings("$InstallDir=C:\\a", {"1: the self-extractor names a folder"}, true);
}

TEST_F(BuilderTest, ScriptWarningsNameTheFileAndListShowsTheDirectives) {
  std::string script = TempPath("setup.txt");
  WriteBytes(script, u8"$WindowTitle=セットアップ\n$windowtitle=x\n$Command=run.exe /s\n");
  options_.specials = {{'$', script}};
  std::vector<std::string> warnings;
  std::string why;
  ASSERT_TRUE(sfxbuild::CheckScripts(options_, &warnings, &why)) << why;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].compare(0, script.size() + 3, script + ":2:"), 0) << warnings[0];

  sfxbuild::ArchiveListing listing;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(Build(), &listing, &why)) << why;
  ASSERT_EQ(listing.scripts.size(), 1u);
  std::vector<sfxbuild::ScriptDirective> d = sfxbuild::ReadScriptDirectives(listing.scripts[0]);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].line, 1);
  EXPECT_EQ(d[0].keyword, "$WindowTitle=");
  EXPECT_EQ(d[0].value, "\x83\x5a\x83\x62\x83\x67\x83\x41\x83\x62\x83\x76");   // セットアップ
  EXPECT_EQ(d[1].line, 3);
  EXPECT_EQ(d[1].value, "run.exe /s");
}

// ------------------------------------------------------- paths and interruption

namespace {

// A Shift-JIS name as the host holds it after extraction (UTF-8).
std::string ReadableName(const std::string& sjis) { return hostos::ToUtf8(sjis); }

std::string Listing(const std::string& dir) {
  std::string listing;
  FILE* p = popen(("ls -A '" + dir + "'").c_str(), "r");
  char line[256];
  while (fgets(line, sizeof line, p)) listing += line;
  pclose(p);
  return listing;
}

}  // namespace

TEST_F(BuilderTest, AnOutputAmongTheInputsIsRefusedBeforeAnythingIsWritten) {
  std::string why;
  struct Case {
    std::string out;
    const char* says;
  } cases[] = {
      {tree_ + "/docs/a.txt", "would replace the input"},
      {tree_ + "/docs/../empty.txt", "would replace the input"},
      {tree_ + "/new.exe", "would lie inside the input folder"},
      {tree_ + "/docs/deeper.exe", "would lie inside the input folder"},
      {TempPath("missing/folder.exe"), "No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    options_.inputs = {tree_ + "/docs/a.txt", tree_ + "/empty.txt", tree_};
    EXPECT_FALSE(sfxbuild::CreateSelfExtractor(options_, c.out, &why));
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
  options_.inputs = {tree_};
  EXPECT_EQ(ReadBytes(tree_ + "/docs/a.txt"), "alpha");
  EXPECT_FALSE(FileExists(tree_ + "/new.exe"));
  // Beside the input folder is fine.
  EXPECT_TRUE(sfxbuild::CreateSelfExtractor(options_, TempPath("beside.exe"), &why)) << why;
}

TEST_F(BuilderTest, AnInterruptedBuildLeavesNoTemporaryAndTheOldOutputWhole) {
  // Text that takes seconds to pack at the smallest level.
  std::string text;
  for (uint64_t i = 0; i < 600000; ++i) text += "line " + std::to_string(i * 7919 % 100003) + " of it\n";
  std::string big = TempPath("big");
  mkdir(big.c_str(), 0755);
  WriteBytes(big + "/text.txt", text);
  options_.inputs = {big};
  options_.level = 4;
  std::string out = TempPath("out.exe");
  // SIGPIPE: a reader of the progress lines gone (sfxbuild ... 2>&1 | head).
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(sig);
    WriteBytes(out, "the previous output");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string why;
      sfxbuild::CreateSelfExtractor(options_, out, &why);
      _exit(0);
    }
    // Stopped once the temporary exists, well before the end.
    for (int i = 0; i < 500 && Listing(TempDir()).find("out.exe.") == std::string::npos; ++i)
      usleep(10000);
    ASSERT_NE(Listing(TempDir()).find("out.exe."), std::string::npos);
    kill(child, sig);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(Listing(TempDir()), "big\nout.exe\nstub.exe\ntree\n");
    EXPECT_EQ(ReadBytes(out), "the previous output");
  }
}

// An output that is no regular file is refused before anything is written,
// and stays what it was; a link is followed to the file it names.
TEST_F(BuilderTest, AnOutputThatIsNoRegularFileIsRefusedAndLeftAsItWas) {
  std::string dir = TempPath("places");
  mkdir(dir.c_str(), 0755);
  std::string fifo = dir + "/fifo", folder = dir + "/folder", device = dir + "/null";
  std::string toFifo = dir + "/to-fifo", toFile = dir + "/to-file", file = dir + "/file.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  mkdir(folder.c_str(), 0755);
  ASSERT_EQ(symlink(fifo.c_str(), toFifo.c_str()), 0);
  WriteBytes(file, "old");
  ASSERT_EQ(symlink(file.c_str(), toFile.c_str()), 0);
  // A device node of the null device, where the test may make one.
  bool haveDevice = mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  struct Case {
    std::string path, said;
    mode_t type;
  } cases[] = {{fifo, "a FIFO", S_IFIFO},  {folder, "a folder", S_IFDIR},
               {toFifo, "a FIFO", S_IFIFO}, {device, "a character device", S_IFCHR}};
  for (const Case& c : cases) {
    if (c.path == device && !haveDevice) continue;
    SCOPED_TRACE(c.path);
    std::string why;
    EXPECT_FALSE(sfxbuild::CreateSelfExtractor(options_, c.path, &why));
    EXPECT_NE(why.find(c.said), std::string::npos) << why;
    struct stat st;
    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, c.type);
  }
  std::string why;
  ASSERT_TRUE(sfxbuild::CreateSelfExtractor(options_, toFile, &why)) << why;
  struct stat st;
  ASSERT_EQ(lstat(toFile.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(file).substr(0, 2), "MZ");
  EXPECT_EQ(Listing(dir), "fifo\nfile.exe\nfolder\n" + std::string(haveDevice ? "null\n" : "") +
                              "to-fifo\nto-file\n");
}

// How each name that cannot be stored is told: the character without a
// Shift-JIS form, Shift-JIS bytes that are no UTF-8, both names that Windows
// takes for one, the console devices.
TEST_F(BuilderTest, EachNameThatCannotBeStoredIsToldWhy) {
  struct Case {
    std::vector<std::string> files;
    std::string said;
  } cases[] = {
      {{u8"café.txt"}, u8"café.txt: \"é\" has no Shift-JIS form"},
      {{"\x95\x5c.txt"}, "the name is Shift-JIS already, not UTF-8"},
      {{"Readme.txt", "README.TXT"}, "README.TXT and Readme.txt are one name on Windows"},
      {{"conin$"}, "conin$: a device name of Windows"},
      {{"CONOUT$.log"}, "CONOUT$.log: a device name of Windows"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    std::string dir = TempPath("names" + std::to_string(n++));
    mkdir(dir.c_str(), 0755);
    for (const std::string& f : c.files) WriteBytes(dir + "/" + f, "x");
    options_.inputs = {dir + "/."};
    std::string error = BuildError();
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
  }
}

// What a build stores is chosen with --exclude (tar's patterns) and -T.
TEST_F(BuilderTest, ExcludePatternsAndInputListsChooseTheEntries) {
  std::string dir = TempPath("proj");
  for (const char* d : {"", "/.git", "/bin", "/src"}) mkdir((dir + d).c_str(), 0755);
  for (const char* f : {"/.git/HEAD", "/bin/app.exe", "/bin/app.pdb", "/src/a.obj", "/src/a.c",
                        "/readme.txt"})
    WriteBytes(dir + f, "x");
  struct Case {
    std::vector<std::string> exclude;
    std::string names;
  } cases[] = {
      {{}, ".git/ .git/HEAD bin/ bin/app.exe bin/app.pdb readme.txt src/ src/a.c src/a.obj"},
      {{".git", "*.pdb", "*.obj"}, "bin/ bin/app.exe readme.txt src/ src/a.c"},
      {{"src"}, ".git/ .git/HEAD bin/ bin/app.exe bin/app.pdb readme.txt"},
      {{"bin/*"}, ".git/ .git/HEAD bin/ readme.txt src/ src/a.c src/a.obj"},
      {{"[ab]*"}, ".git/ .git/HEAD readme.txt src/"},   // a.c and a.obj match as trailing parts
  };
  for (const Case& c : cases) {
    options_.inputs = {dir + "/."};
    options_.exclude = c.exclude;
    std::vector<sfxbuild::PlannedEntry> planned;
    std::vector<std::string> warnings;
    std::string why, names;
    ASSERT_TRUE(sfxbuild::DryRun(options_, &planned, &warnings, &why)) << why;
    for (const sfxbuild::PlannedEntry& e : planned) names += (names.empty() ? "" : " ") + e.name;
    EXPECT_EQ(names, c.names);
  }
  std::string list = TempPath("inputs.txt");
  WriteBytes(list, dir + "/readme.txt\r\n\n" + dir + "/src\n");
  std::string out = RunBuilder("create --dry-run --stub '" + options_.stubPath + "' -T '" + list + "'");
  EXPECT_EQ(out, "file             1  readme.txt\ndir              0  src/\nfile             1  src/a.c\n"
                 "file             1  src/a.obj\n4 entries, 3 bytes would be stored before "
                 "compression; nothing was written\nexit 0\n");
}

// A self-extractor rebuilt with --from: its entries, notice and script come
// along, the settings are the new ones; a new notice replaces the old.
TEST_F(BuilderTest, FromTakesASelfExtractor) {
  std::string notice = TempPath("notice.txt"), script = TempPath("setup.txt");
  WriteBytes(notice, "first notice\n");
  WriteBytes(script, "$Command=run.exe\n");
  options_.specials = {{'!', notice}, {'$', script}};
  std::string first = Build("first.exe");
  CreateOptionsAfter(first);
  options_.windowTitle = "rebuilt";
  std::string second = Build("second.exe");
  std::string why;
  sfxbuild::ArchiveListing a, b;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(first, &a, &why)) << why;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(second, &b, &why)) << why;
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (size_t i = 0; i < a.entries.size(); ++i) EXPECT_EQ(a.entries[i].name, b.entries[i].name);
  EXPECT_EQ(b.windowTitle, "rebuilt");
  EXPECT_EQ(b.notices, std::vector<std::string>({"first notice\n"}));
  EXPECT_EQ(b.scripts, a.scripts);

  WriteBytes(notice, "second notice\n");
  options_.specials = {{'!', notice}};
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(Build("third.exe"), &b, &why)) << why;
  EXPECT_EQ(b.notices, std::vector<std::string>({"second notice\n"}));
  EXPECT_EQ(b.scripts, a.scripts);

  // A file that is neither is said to be neither.
  WriteBytes(TempPath("plain.txt"), "just some text, no archive");
  options_.fromArchive = TempPath("plain.txt");
  EXPECT_NE(BuildError().find("not an LZH archive or self-extractor"), std::string::npos);
}

// The stub is looked for only where the help says: a copy of the builder
// elsewhere finds none, says where it looked, and finds one put beside it.
TEST_F(BuilderTest, TheStubIsFoundOnlyWhereTheHelpSays) {
  std::string bin = TempPath("bin");
  mkdir(bin.c_str(), 0755);
  WriteBytes(bin + "/sfxbuild", ReadBytes(SFXBUILD_PROGRAM));
  chmod((bin + "/sfxbuild").c_str(), 0755);
  std::string command = "env -u SFX_STUB " + Runner() + "'" + bin + "/sfxbuild' create -q -o '" +
                        TempPath("x.exe") + "' '" + tree_ + "' 2>&1";
  std::string out = RunShell(command);
  EXPECT_NE(out.find("no stub found; looked at:"), std::string::npos) << out;
  EXPECT_NE(out.find(bin + "/sfxstub.exe"), std::string::npos) << out;
  EXPECT_NE(out.find("--stub FILE"), std::string::npos) << out;
  EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
  WriteBytes(bin + "/sfxstub.exe", ReadBytes(stub_));
  EXPECT_EQ(RunShell(command), "exit 0\n");
}

// extract replaces an existing file only when asked, and says so; folders
// get their stored times after their contents are written.
TEST_F(BuilderTest, ExtractReplacesOnlyWhenAskedAndKeepsFolderTimes) {
  std::string out = Build();
  std::string dir = TempPath("x");
  std::string plain = RunBuilder("extract -C '" + dir + "' '" + out + "'");
  EXPECT_NE(plain.find("exit 0"), std::string::npos) << plain;
  struct stat folder, file;
  ASSERT_EQ(stat((dir + "/tree/docs").c_str(), &folder), 0);
  ASSERT_EQ(stat((tree_ + "/docs").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mtime, file.st_mtime);

  WriteBytes(dir + "/tree/docs/b.txt", "changed");
  std::string again = RunBuilder("extract -C '" + dir + "' '" + out + "'");
  EXPECT_NE(again.find("FAILED  tree/docs/b.txt: exists; not replaced (--overwrite replaces it)"),
            std::string::npos) << again;
  EXPECT_NE(again.find("exit 1"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir + "/tree/docs/b.txt"), "changed");
  std::string replaced = RunBuilder("extract --overwrite -C '" + dir + "' '" + out + "'");
  EXPECT_NE(replaced.find("OK      tree/docs/b.txt (replaced the existing file)"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir + "/tree/docs/b.txt"), ReadBytes(tree_ + "/docs/b.txt"));
}

// list says what the self-extractor will do, as text and as JSON.
TEST_F(BuilderTest, ListShowsTheSettings) {
  options_.windowTitle = "Title";
  options_.installFolder = "%ProgramFiles%\\Tool";
  options_.command = "tool.exe /s";
  options_.autoStart = true;
  options_.elevation = sfxbuild::Elevation::kAdmin;
  std::string out = Build();
  std::string text = RunBuilder("list '" + out + "'");
  for (const char* line : {"  title           Title\n", "  folder          %ProgramFiles%\\Tool\n",
                           "  auto start      yes\n", "  overwrite       asks\n",
                           "  command         tool.exe /s\n", "  elevation       requireAdministrator\n",
                           "  checksum        "})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  std::string json = RunBuilder("list --json '" + out + "'");
  for (const char* part : {"\"kind\": \"self-extractor\"", "\"title\": \"Title\"",
                           "\"folder\": \"%ProgramFiles%\\\\Tool\"", "\"autoStart\": true",
                           "\"elevation\": \"admin\"", "\"matches\": true",
                           "{\"name\": \"tree/docs/b.txt\", \"method\": \"-lh7-\""})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

// ------------------------------------------------------- plain archives

namespace {

void Le16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Le32(std::string& s, uint32_t v) {
  Le16(s, v & 0xFFFF);
  Le16(s, v >> 16);
}

// A level-0 header from its documented layout: size and checksum, method,
// sizes, MS-DOS time, attribute, level, name with "\" separators, file CRC.
std::string Level0(const std::string& method, const std::string& name, const std::string& data,
                   uint32_t dosTime) {
  std::string h = method;
  Le32(h, static_cast<uint32_t>(data.size()));
  Le32(h, static_cast<uint32_t>(data.size()));
  Le32(h, dosTime);
  h.push_back(0x20);
  h.push_back(0);
  h.push_back(static_cast<char>(name.size()));
  h += name;
  Le16(h, lzhw::Crc16(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  uint8_t sum = 0;
  for (char c : h) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return std::string(1, static_cast<char>(h.size())) + std::string(1, static_cast<char>(sum)) + h +
         data;
}

// A level-1 header: the base part with an empty name, an OS id and the size
// of the first extended header; then file-name and directory extensions,
// which the compressed size counts.
std::string Level1(const std::string& method, const std::string& file, const std::string& dir,
                   const std::string& data, uint32_t dosTime) {
  std::string ext;
  std::string fileExt = "\x01" + file;
  Le16(fileExt, static_cast<uint32_t>(dir.size() + 3));
  std::string dirExt = "\x02" + dir;
  Le16(dirExt, 0);
  ext = fileExt + dirExt;
  std::string h = method;
  Le32(h, static_cast<uint32_t>(data.size() + ext.size()));
  Le32(h, static_cast<uint32_t>(data.size()));
  Le32(h, dosTime);
  h.push_back(0x20);
  h.push_back(1);
  h.push_back(0);   // no name in the base header
  Le16(h, lzhw::Crc16(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  h.push_back('M');
  Le16(h, static_cast<uint32_t>(file.size() + 3));
  uint8_t sum = 0;
  for (char c : h) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return std::string(1, static_cast<char>(h.size())) + std::string(1, static_cast<char>(sum)) + h +
         ext + data;
}

}  // namespace

TEST_F(BuilderTest, PlainArchivesOfEveryLevelAreListedTestedAndTurnedIntoSelfExtractors) {
  // 2021-03-04 05:06:08 in MS-DOS form, read as UTC.
  const uint32_t dos = (uint32_t{2021 - 1980} << 25) | (3u << 21) | (4u << 16) | (5u << 11) |
                       (6u << 5) | 4u;
  std::vector<uint8_t> l2;
  lzhw::EntryInfo info;
  info.fileName = "two.txt";
  info.directory = "level2";
  info.packedSize = info.originalSize = 5;
  info.fileCrc = lzhw::Crc16(reinterpret_cast<const uint8_t*>("level"), 5);
  info.time = 1614834368;
  ASSERT_TRUE(lzhw::AppendEntry(l2, lzhw::MakeHeaderPlan(info),
                                reinterpret_cast<const uint8_t*>("level"), 5));
  std::string archive = Level0("-lh0-", "zero\\\x95\x5C.txt", "level zero", dos) +
                        Level1("-lh0-", "one.txt", "sub\xFF", "level one data", dos) +
                        std::string(l2.begin(), l2.end()) + std::string(1, '\0');
  std::string path = TempPath("mixed.lzh");
  WriteBytes(path, archive);

  sfxbuild::ArchiveListing listing;
  std::string why;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(path, &listing, &why)) << why;
  EXPECT_TRUE(listing.plain);
  ASSERT_EQ(listing.entries.size(), 3u);
  EXPECT_EQ(listing.entries[0].name, "zero/\x95\x5C.txt");   // 0x5C inside a character stays
  EXPECT_EQ(listing.entries[1].name, "sub/one.txt");
  EXPECT_EQ(listing.entries[2].name, "level2/two.txt");
  EXPECT_EQ(listing.entries[0].time, 1614834368u);
  EXPECT_EQ(listing.entries[1].originalSize, 14u);
  EXPECT_EQ(listing.entries[1].packedSize, 14u);   // the extended headers left out

  // Headers are read in windows: a chain longer than the first one still
  // lists, and so does the entry after it.
  std::string longDir(6000, 'd');
  WriteBytes(path, Level1("-lh0-", "far.txt", longDir, "x", dos) +
                       Level0("-lh0-", "next.txt", "y", dos) + std::string(1, '\0'));
  sfxbuild::ArchiveListing far;
  ASSERT_TRUE(sfxbuild::ListSelfExtractor(path, &far, &why)) << why;
  ASSERT_EQ(far.entries.size(), 2u);
  EXPECT_EQ(far.entries[0].name, longDir + "/far.txt");
  EXPECT_EQ(far.entries[1].name, "next.txt");
  WriteBytes(path, archive);

  sfxbuild::TestResult tested;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(path, &tested, &why)) << why;
  EXPECT_TRUE(Failures(tested.entries).empty());

  options_.inputs.clear();
  options_.fromArchive = path;
  std::string out = TempPath("from.exe");
  ASSERT_TRUE(sfxbuild::CreateSelfExtractor(options_, out, &why)) << why;
  sfxbuild::TestResult sfx;
  ASSERT_TRUE(sfxbuild::TestSelfExtractor(out, &sfx, &why)) << why;
  EXPECT_TRUE(Failures(sfx.entries).empty());
  EXPECT_FALSE(sfx.listing.plain);
  ASSERT_EQ(sfx.listing.entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sfx.listing.entries[i].name, listing.entries[i].name);
    EXPECT_EQ(sfx.listing.entries[i].time, listing.entries[i].time);
    EXPECT_EQ(sfx.listing.entries[i].fileCrc, listing.entries[i].fileCrc);
  }
}

TEST_F(BuilderTest, FromRefusesWhatTheStubCannotExpandAndNamesWindowsCannotHold) {
  const uint32_t dos = 0x52640000;
  std::string archive = Level0("-lh1-", "old.txt", "x", dos) + Level0("-lzs-", "lzs.txt", "y", dos) +
                        Level0("-lh0-", "a:b.txt", "z", dos) + Level0("-lh0-", "fine.txt", "w", dos) +
                        std::string(1, '\0');
  std::string path = TempPath("odd.lzh");
  WriteBytes(path, archive);
  options_.inputs.clear();
  options_.fromArchive = path;
  std::string why;
  EXPECT_FALSE(sfxbuild::CreateSelfExtractor(options_, TempPath("out.exe"), &why));
  EXPECT_NE(why.find("old.txt: method -lh1-"), std::string::npos) << why;
  EXPECT_NE(why.find("lzs.txt: method -lzs-"), std::string::npos) << why;
  EXPECT_NE(why.find("a:b.txt: a colon"), std::string::npos) << why;
  EXPECT_EQ(why.find("fine.txt"), std::string::npos) << why;
  EXPECT_FALSE(FileExists(TempPath("out.exe")));
}

TEST_F(BuilderTest, FromTheFixturesGivesSelfExtractorsThatExtractToTheManifest) {
  auto manifest = LoadManifest();
  for (const char* name : {"fx-lh5.lzh", "fx-lh6.lzh", "fx-lh7.lzh"}) {
    SCOPED_TRACE(name);
    options_.inputs.clear();
    options_.fromArchive = FixturePath(name);
    std::string out = TempPath(std::string(name) + ".exe"), why;
    ASSERT_TRUE(sfxbuild::CreateSelfExtractor(options_, out, &why)) << why;
    // The compressed data are copied, not made again: the same sizes.
    sfxbuild::ArchiveListing from, made;
    ASSERT_TRUE(sfxbuild::ListSelfExtractor(FixturePath(name), &from, &why)) << why;
    ASSERT_TRUE(sfxbuild::ListSelfExtractor(out, &made, &why)) << why;
    ASSERT_EQ(from.entries.size(), made.entries.size());
    for (size_t i = 0; i < from.entries.size(); ++i) {
      EXPECT_EQ(from.entries[i].method, made.entries[i].method);
      EXPECT_EQ(from.entries[i].packedSize, made.entries[i].packedSize);
    }
    // Extracted on the host: every file of the manifest, size and digest.
    std::string dir = TempPath(std::string(name) + ".out");
    sfxbuild::ExtractResult result;
    ASSERT_TRUE(sfxbuild::ExtractArchive(out, dir, &result, &why)) << why;
    EXPECT_TRUE(Failures(result.entries).empty());
    size_t files = 0;
    for (const ManifestEntry& e : manifest[name]) {
      std::string host = dir + "/" + ReadableName(e.name);
      if (e.directory) {
        EXPECT_TRUE(FileExists(host)) << host;
        continue;
      }
      ++files;
      std::string bytes = ReadBytes(host);
      EXPECT_EQ(bytes.size(), e.size) << host;
      EXPECT_EQ(Sha256Hex(bytes), e.sha) << host;
    }
    EXPECT_EQ(result.files, files);
  }
}

TEST_F(BuilderTest, ExtractKeepsNamesInsideItsFolderAndLeavesNoFileWithABadCrc) {
  const uint32_t dos = 0x52640000;
  std::string good = "good data";
  std::string bad = Level0("-lh0-", "bad.txt", "spoilt", dos);
  bad[bad.size() - 1] ^= 1;   // the data no longer match the CRC
  std::string archive = Level0("-lh0-", "..\\up.txt", "x", dos) + Level0("-lh0-", "\\root.txt", "x", dos) +
                        Level0("-lh0-", "c:drive.txt", "x", dos) + Level0("-lh0-", "%WinDir%\\w.txt", "x", dos) +
                        Level0("-lh0-", "in\\..\\..\\out.txt", "x", dos) + bad +
                        Level0("-lh0-", "dir\\good.txt", good, dos) + std::string(1, '\0');
  std::string path = TempPath("hostile.lzh");
  WriteBytes(path, archive);
  std::string dir = TempPath("x/y");
  sfxbuild::ExtractResult result;
  std::string why;
  ASSERT_TRUE(sfxbuild::ExtractArchive(path, dir, &result, &why)) << why;
  EXPECT_EQ(result.files, 1u);
  std::vector<std::string> problems = Failures(result.entries);
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_NE(problems[0].find("a parent folder"), std::string::npos);
  EXPECT_NE(problems[1].find("an absolute name"), std::string::npos);
  EXPECT_NE(problems[2].find("a drive"), std::string::npos);
  EXPECT_NE(problems[3].find("a directory macro"), std::string::npos);
  EXPECT_NE(problems[4].find("a parent folder"), std::string::npos);
  EXPECT_NE(problems[5].find("bad.txt: CRC error"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir + "/dir/good.txt"), good);
  EXPECT_FALSE(FileExists(dir + "/bad.txt"));
  EXPECT_FALSE(FileExists(TempPath("x/up.txt")));
  EXPECT_FALSE(FileExists(TempPath("out.txt")));
  EXPECT_EQ(Listing(dir), "dir\n");
  struct stat st;
  ASSERT_EQ(stat((dir + "/dir/good.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1614816000);   // 2021-03-04 00:00:00, the stored time as UTC
}
