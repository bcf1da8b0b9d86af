// e2emake's self-extractors, read back by the stub's own configuration reader
// and scan pass on the host: each kind of damage must lead to the failure the
// end-to-end scenario expects of it, and nothing else.
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "run/run.h"
#include "core/text.h"
#include "e2emake.h"
#include "startup/startup.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

// A stand-in stub: what the real one has ahead of the block does not matter
// to the walk, only that the block area is there.
std::vector<uint8_t> FakeStub() { return std::vector<uint8_t>(2048, 0x90); }

class E2eMakeTest : public SfxTest {
 protected:
  // Writes the plan's file and runs the scan pass over it as the stub would.
  int Scan(const e2emake::Plan& plan) {
    std::vector<uint8_t> file;
    std::string error;
    EXPECT_TRUE(e2emake::Build(plan, &file, &error)) << error;
    bytes_ = file;
    path_ = TempPath("sfx.exe");
    WriteBytes(path_, std::string(file.begin(), file.end()));
    CopyText(context->ownPath, path_.c_str(), kOwnPathCap);
    ReadConfig(context);
    return WalkArchive(0, kScanPass);
  }
  std::string BoxText(size_t i) const {
    return i < scripted::Boxes().size() ? scripted::Boxes()[i].text : "<no box>";
  }
  std::string OwnFileError(const char* message) const {
    return "\"" + path_ + "\" " + message;
  }

  e2emake::Item Stored(const std::string& name, const std::string& data) {
    e2emake::Item item;
    item.name = name;
    item.data.assign(data.begin(), data.end());
    return item;
  }

  std::vector<uint8_t> bytes_;
  std::string path_;
};

TEST_F(E2eMakeTest, SoundArchiveScansToItsEndWithoutABox) {
  e2emake::Plan plan;
  plan.stub = FakeStub();
  plan.items.push_back(Stored("a.txt", "alpha"));
  e2emake::Item dir;
  dir.kind = e2emake::kDirectory;
  dir.name = "sub";
  plan.items.push_back(dir);
  plan.items.push_back(Stored("sub/b.txt", std::string(3000, 'b')));
  EXPECT_NE(Scan(plan), 0);
  EXPECT_TRUE(scripted::Boxes().empty()) << BoxText(0);
  // The archive starts right after the stub and ends with one zero byte.
  EXPECT_EQ(context->config.archiveOffset, plan.stub.size());
  EXPECT_EQ(bytes_.back(), 0);
}

TEST_F(E2eMakeTest, EachHeaderDamageIsRejectedAsABadHeader) {
  const char* kinds[] = {"header-crc", "no-crc", "method=-lh9-"};
  for (const char* kind : kinds) {
    SCOPED_TRACE(kind);
    scripted::Reset();
    e2emake::Plan plan;
    std::string output, error;
    plan.stub = FakeStub();
    plan.items.push_back(Stored("first.txt", "fine"));
    e2emake::Plan parsed;
    // The damage as the command line gives it, applied to an entry of its own.
    ASSERT_TRUE(e2emake::ParseArguments({"--stub", "/proc/self/exe", "-o", "x", "--damage", kind,
                                         "--text", "second.txt", "spoilt"},
                                        &parsed, &output, &error))
        << error;
    ASSERT_EQ(parsed.items.size(), 1u);
    plan.items.push_back(parsed.items[0]);
    EXPECT_EQ(Scan(plan), 0);
    ASSERT_EQ(scripted::Boxes().size(), 1u);
    EXPECT_EQ(BoxText(0), OwnFileError(TEXT_BAD_HEADER));
  }
}

TEST_F(E2eMakeTest, CompressedSizePastTheEndIsMissingData) {
  e2emake::Plan plan;
  plan.stub = FakeStub();
  e2emake::Item item = Stored("big.bin", std::string(100, 'x'));
  item.damage.packedSize = 5000;  // added to the true size
  plan.items.push_back(item);
  EXPECT_EQ(Scan(plan), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(BoxText(0), OwnFileError(TEXT_MISSING_DATA));
}

TEST_F(E2eMakeTest, OffsetAtTheEndIsEmptyAndOnePastIsMissingData) {
  e2emake::Plan plan;
  plan.stub = FakeStub();
  plan.endMark = false;
  plan.offsetFromEnd = true;
  plan.offsetPastEnd = 0;
  EXPECT_NE(Scan(plan), 0);
  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(context->config.archiveOffset, bytes_.size());

  scripted::Reset();
  plan.offsetPastEnd = 1;
  EXPECT_EQ(Scan(plan), 0);
  EXPECT_EQ(context->config.archiveOffset, bytes_.size() + 1);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(BoxText(0), OwnFileError(TEXT_MISSING_DATA));
}

TEST_F(E2eMakeTest, ChecksumIsRightAndOneBitOffIsTampering) {
  e2emake::Plan plan;
  plan.stub = FakeStub();
  plan.flags = kFlagChecksum;
  plan.checksum = e2emake::Plan::kAutoChecksum;
  plan.items.push_back(Stored("one.txt", "one"));
  plan.items.push_back(Stored("two.txt", "two two"));
  e2emake::Item dir;
  dir.kind = e2emake::kDirectory;
  dir.name = "d";
  plan.items.push_back(dir);
  EXPECT_NE(Scan(plan), 0);
  EXPECT_TRUE(scripted::Boxes().empty()) << BoxText(0);

  scripted::Reset();
  plan.checksumXor = 0x0100;
  EXPECT_EQ(Scan(plan), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(BoxText(0), OwnFileError(TEXT_TAMPERED));

  // Without the flag the same bytes are not checked: they are then the first
  // two bytes of the walk, so the archive must start after them.
  scripted::Reset();
  plan.flags = 0;
  plan.offsetDelta = 2;
  EXPECT_NE(Scan(plan), 0);
  EXPECT_TRUE(scripted::Boxes().empty()) << BoxText(0);
}

TEST_F(E2eMakeTest, NoticeIsShownAndNoEndsTheScan) {
  e2emake::Plan plan;
  std::string output, error;
  ASSERT_TRUE(e2emake::ParseArguments({"--stub", "/proc/self/exe", "-o", "x", "--title",
                                       u8"テスト", "--text", "!", u8"ご注意ください"},
                                      &plan, &output, &error))
      << error;
  plan.stub = FakeStub();
  scripted::QueueAnswer(kAnswerNo);
  EXPECT_EQ(Scan(plan), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, "ご注意ください");
  EXPECT_EQ(scripted::Boxes()[0].caption, "テスト");
  EXPECT_EQ(scripted::Boxes()[0].style, kBoxYesNo | kIconQuestion);
}

TEST_F(E2eMakeTest, AppendedArchiveKeepsItsOwnEndMark) {
  const std::string fixture = std::string(SFX_FIXTURES_DIR) + "/fx-lh5.lzh";
  e2emake::Plan plan;
  std::string output, error;
  ASSERT_TRUE(e2emake::ParseArguments({"--stub", "/proc/self/exe", "-o", "x", "--append",
                                       fixture},
                                      &plan, &output, &error))
      << error;
  EXPECT_FALSE(plan.endMark);
  plan.stub = FakeStub();
  EXPECT_NE(Scan(plan), 0);
  EXPECT_TRUE(scripted::Boxes().empty()) << BoxText(0);
  std::ifstream in(fixture, std::ios::binary | std::ios::ate);
  EXPECT_EQ(bytes_.size(), plan.stub.size() + (size_t)in.tellg());
}

TEST_F(E2eMakeTest, BlockTextsAreShiftJisAndMustFit) {
  e2emake::Plan plan;
  std::string output, error;
  ASSERT_TRUE(e2emake::ParseArguments({"--stub", "/proc/self/exe", "-o", "x", "--title", u8"解凍",
                                       "--folder", u8"C:\\インストール", "--flags", "0x21",
                                       "--restore-attributes", "1"},
                                      &plan, &output, &error))
      << error;
  plan.stub = FakeStub();
  std::vector<uint8_t> file;
  ASSERT_TRUE(e2emake::Build(plan, &file, &error)) << error;
  // Arguments are UTF-8 (u8 literals); plain literals here are code page 932.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[516])), "解凍");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[598])), "C:\\インストール");
  EXPECT_EQ(file[1113], 0x21);
  EXPECT_EQ(file[1114], 1);

  plan.windowTitle = std::string(41, 'T');
  EXPECT_FALSE(e2emake::Build(plan, &file, &error));
  plan.windowTitle = std::string(40, 'T');
  EXPECT_TRUE(e2emake::Build(plan, &file, &error)) << error;
}

TEST_F(E2eMakeTest, CommandLineMistakesAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"-o", "x"},                                                 // no stub
      {"--stub", "/proc/self/exe"},                                // no output
      {"--stub", "/proc/self/exe", "-o", "x", "--damage", "no-crc"},  // damage of nothing
      {"--stub", "/proc/self/exe", "-o", "x", "--damage", "sideways", "--dir", "d"},
      {"--stub", "/proc/self/exe", "-o", "x", "--flags", "256"},
      {"--stub", "/proc/self/exe", "-o", "x", "--text", "a"},     // missing value
      {"--stub", "/proc/self/exe", "-o", "x", "--bogus"},
  };
  for (const auto& args : bad) {
    e2emake::Plan plan;
    std::string output, error;
    EXPECT_FALSE(e2emake::ParseArguments(args, &plan, &output, &error)) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
