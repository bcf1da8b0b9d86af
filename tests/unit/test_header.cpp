#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/text.h"
#include "decode/decode.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

struct Ext {
  uint8_t type;
  std::string data;
};

// A level-2 header made by hand: fixed part, then the chain of extended
// headers, each followed by the size of the next. With a type-0 extended
// header, its CRC field is filled in last so that the header is sound.
struct HeaderPlan {
  std::string method = "-lh5-";
  uint32_t packed = 0;
  uint32_t original = 0;
  uint32_t time = 0;
  uint8_t attribute = 0x20;
  uint16_t fileCrc = 0;
  char osId = 'M';
  std::vector<Ext> exts;
};

std::string Build(const HeaderPlan& desc, size_t* crcAt = nullptr) {
  std::string h;
  h += Le16(0);
  h += desc.method;
  h += Le32(desc.packed) + Le32(desc.original) + Le32(desc.time);
  h += static_cast<char>(desc.attribute);
  h += '\x02';
  h += Le16(desc.fileCrc);
  h += desc.osId;
  h += Le16(desc.exts.empty() ? 0 : 3 + desc.exts[0].data.size());
  size_t crcField = 0;
  for (size_t i = 0; i < desc.exts.size(); ++i) {
    h += static_cast<char>(desc.exts[i].type);
    if (desc.exts[i].type == 0) crcField = h.size();
    h += desc.exts[i].data;
    h += Le16(i + 1 < desc.exts.size() ? 3 + desc.exts[i + 1].data.size() : 0);
  }
  Put16(h, 0, static_cast<uint32_t>(h.size()));
  if (crcField != 0) {
    Put16(h, crcField, 0);
    Put16(h, crcField, ReferenceCrc(h));
  }
  if (crcAt) *crcAt = crcField;
  return h;
}

Ext FileName(const std::string& name) { return {0x01, name}; }
Ext DirName(const std::string& name) { return {0x02, name}; }
Ext CrcExt() { return {0x00, std::string(2, '\0')}; }

class HeaderTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    CopyText(context->ownPath, "/sfx/own.exe", kOwnPathCap);
    CopyText(context->config.windowTitle, "Caption", kTitleCap);
    MakeCrcTable(context, kCrcPolynomial);
  }
  void TearDown() override {
    ReleaseEntryHeader(context);
    if (context->archiveHandle != 0) CloseFile(context->archiveHandle);
    SfxTest::TearDown();
  }

  void OpenArchive(const std::string& bytes) {
    std::string path = TempPath("archive.lzh");
    WriteBytes(path, bytes);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    ASSERT_NE(context->archiveHandle, 0u);
  }

  HeaderResult ReadOne(const std::string& bytes) {
    OpenArchive(bytes);
    return ReadEntryHeader(context);
  }

  // The reader only says so; telling the user is the walk's part.
  void ExpectBadHeader(HeaderResult result) {
    EXPECT_EQ(result, kHeaderInvalid);
    EXPECT_EQ(context->aborted, 0);
    EXPECT_TRUE(scripted::Boxes().empty());
  }

  std::string Name() { return context->entryName; }
};

HeaderPlan FortyFiveBytePlan() {
  HeaderPlan desc;
  desc.packed = 20224;
  desc.original = 170813;
  desc.time = 0x12345678;
  desc.fileCrc = 0xBEEF;
  desc.exts = {FileName("readme.text"), CrcExt()};
  return desc;
}

TEST_F(HeaderTest, FortyFiveByteHeaderIsReadWithTwoReads) {
  std::string header = Build(FortyFiveBytePlan());
  ASSERT_EQ(header.size(), 45u);
  ASSERT_EQ(ReadOne(header + "DATA"), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "readme.text");
  EXPECT_EQ(context->headerSize, 45);
  EXPECT_EQ(EntryPackedSize(context), 20224u);
  EXPECT_EQ(EntryOriginalSize(context), 170813u);
  EXPECT_EQ(EntryTime(context), 0x12345678u);
  EXPECT_EQ(EntryFileCrc(context), 0xBEEF);
  EXPECT_EQ(EntryMethodDigit(context), '5');
  EXPECT_EQ(context->attribute, 0x20);
  EXPECT_EQ(context->aborted, 0);
  EXPECT_TRUE(scripted::Boxes().empty());
  // The archive is left at the first byte of the entry's data.
  uint32_t position = 0;
  ASSERT_TRUE(GetFilePosition(context->archiveHandle, &position));
  EXPECT_EQ(position, 45u);
  EXPECT_EQ(hostplatform::ReadRequests(), (std::vector<uint32_t>{2, 43}));
  SetEntryTime(context, 7);
  EXPECT_EQ(EntryTime(context), 7u);
}

TEST_F(HeaderTest, HeaderCrcMustBePresentAndRight) {
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {FileName("readme.text")};
  ExpectBadHeader(ReadOne(Build(desc)));
}

TEST_F(HeaderTest, HeaderCrcOneBitOffIsRejected) {
  size_t crcAt = 0;
  std::string header = Build(FortyFiveBytePlan(), &crcAt);
  header[crcAt] ^= 0x01;
  ExpectBadHeader(ReadOne(header));
}

TEST_F(HeaderTest, CrcExtensionTooShortForItsValueCountsAsNone) {
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {FileName("a"), {0x00, std::string(1, '\0')}};
  ExpectBadHeader(ReadOne(Build(desc)));
}

TEST_F(HeaderTest, FirstSizeZeroMeansNoCrcAndIsRejected) {
  HeaderPlan desc;
  ExpectBadHeader(ReadOne(Build(desc)));
}

TEST_F(HeaderTest, OnlyTheSixMethodsAreAccepted) {
  const char* accepted[] = {"-lh0-", "-lh4-", "-lh5-", "-lh6-", "-lh7-", "-lhd-"};
  const std::string rejected[] = {"-lh1-", "-lh2-", "-lh3-", "-lz5-", "-la5-", "-LH5-", "-lH5-",
                                  "-Lh5-", "-lhD-", std::string("-lh\0-", 5), "+lh5-", "-lh5+",
                                  "-lh8-", "lh5--"};
  for (const char* method : accepted) {
    SCOPED_TRACE(method);
    HeaderPlan desc = FortyFiveBytePlan();
    desc.method = method;
    scripted::Reset();
    context->aborted = 0;
    EXPECT_EQ(ReadOne(Build(desc)), kHeaderValid);
    EXPECT_EQ(EntryMethodDigit(context), method[3]);
    CloseFile(context->archiveHandle);
  }
  for (const std::string& method : rejected) {
    SCOPED_TRACE(method);
    HeaderPlan desc = FortyFiveBytePlan();
    desc.method = method;
    scripted::Reset();
    context->aborted = 0;
    ExpectBadHeader(ReadOne(Build(desc)));
    CloseFile(context->archiveHandle);
  }
  context->archiveHandle = 0;
}

TEST_F(HeaderTest, AttributeExtensionCountsOnlyForDosLikeSystems) {
  for (char os : {'M', 'W', 'w', 'U', 'm', '\0'}) {
    SCOPED_TRACE(static_cast<int>(os));
    HeaderPlan desc = FortyFiveBytePlan();
    desc.osId = os;
    desc.attribute = 0x21;
    desc.exts = {FileName("f"), {0x40, Le16(0x0102)}, CrcExt()};
    ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
    bool dosLike = os == 'M' || os == 'W' || os == 'w';
    EXPECT_EQ(context->attribute, dosLike ? 0x0102 : 0x21);
    CloseFile(context->archiveHandle);
  }
  context->archiveHandle = 0;
}

TEST_F(HeaderTest, LastOccurrenceOfAnExtensionWins) {
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {FileName("first.txt"), DirName("one\xFF"), {0x7F, "ignored"}, CrcExt(),
               FileName("second.txt"), DirName("two\xFF")};
  ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "two/second.txt");
}

TEST_F(HeaderTest, NameFieldsAreResetForEveryEntry) {
  HeaderPlan first = FortyFiveBytePlan();
  first.packed = 3;
  first.exts = {DirName("doc\xFF"), FileName("a.txt"), CrcExt()};
  HeaderPlan second = FortyFiveBytePlan();
  second.method = "-lhd-";
  second.exts = {DirName("doc\xFFimg\xFF"), CrcExt()};
  HeaderPlan third = FortyFiveBytePlan();
  third.exts = {FileName("!"), CrcExt()};
  OpenArchive(Build(first) + "xyz" + Build(second) + Build(third) + std::string(1, '\0'));

  ASSERT_EQ(ReadEntryHeader(context), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "doc/a.txt");
  uint32_t position = 0;
  ASSERT_TRUE(GetFilePosition(context->archiveHandle, &position));
  ASSERT_TRUE(SeekFile(context->archiveHandle, position + EntryPackedSize(context), &position));

  ASSERT_EQ(ReadEntryHeader(context), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "doc/img/");
  EXPECT_EQ(context->fileNameLength, 0);

  ASSERT_EQ(ReadEntryHeader(context), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "!");
  EXPECT_EQ(context->directoryNameLength, 0);

  // A single byte left: the end of the archive, without a message.
  EXPECT_EQ(ReadEntryHeader(context), kHeaderEnd);
  EXPECT_EQ(context->headerBuffer, nullptr);
  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(context->aborted, 0);
}

TEST_F(HeaderTest, SeparatorsBecomeSlashesOutsideDoubleByteCharacters) {
  HeaderPlan desc = FortyFiveBytePlan();
  // 0x95 0x5C is one character whose second byte is a backslash.
  desc.exts = {DirName("\x95\x5C\x8E\xA6\xFFsub\\"), FileName("x/\x83\x5Cy\\z"), CrcExt()};
  ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "\x95\x5C\x8E\xA6/sub/x/\x83\x5Cy/z");
}

TEST_F(HeaderTest, NulInsideANamePartEndsTheName) {
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {FileName(std::string("ab\0cd", 5)), CrcExt()};
  ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "ab");

  desc.exts = {DirName(std::string("d\0\xFF", 3)), FileName("file"), CrcExt()};
  CloseFile(context->archiveHandle);
  ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name(), "d");
}

TEST_F(HeaderTest, EndOfArchiveWithoutMessage) {
  for (const std::string& bytes : {std::string(), std::string(1, '\x05'), std::string(2, '\0')}) {
    EXPECT_EQ(ReadOne(bytes), kHeaderEnd);
    CloseFile(context->archiveHandle);
  }
  context->archiveHandle = 0;
  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(context->aborted, 0);
}

TEST_F(HeaderTest, FailedReadOfTheSizeIsAReadErrorNotTheEnd) {
  hostplatform::FailReadsAfter(0);
  EXPECT_EQ(ReadOne(Build(FortyFiveBytePlan())), kHeaderReadError);
}

TEST_F(HeaderTest, HeaderCutShortByTheEndOfFileIsRejected) {
  std::string header = Build(FortyFiveBytePlan());
  ExpectBadHeader(ReadOne(header.substr(0, 44)));
}

TEST_F(HeaderTest, ReadFailureInsideTheHeaderIsRejected) {
  hostplatform::FailReadsAfter(10);
  ExpectBadHeader(ReadOne(Build(FortyFiveBytePlan())));
}

TEST_F(HeaderTest, SizesThatCannotBeAllocatedGiveTheMemoryBox) {
  std::string huge = Le16(0x8000) + std::string(100, 'x');
  context->dialogWindow = scripted::kDialogWindow;
  EXPECT_EQ(ReadOne(huge), kHeaderNoMemory);
  // Nothing beyond the size field was read.
  EXPECT_EQ(hostplatform::ReadRequests(), (std::vector<uint32_t>{2}));

  CloseFile(context->archiveHandle);
  scripted::Reset();
  context->aborted = 0;
  hostplatform::FailAllocationsAfter(0);
  EXPECT_EQ(ReadOne(Build(FortyFiveBytePlan())), kHeaderNoMemory);
}

// Bounds that a damaged archive could otherwise use to leave the buffer.
TEST_F(HeaderTest, TotalSizeBelowTheFixedPartIsRejected) {
  for (uint32_t total : {1u, 2u, 10u, 25u}) {
    SCOPED_TRACE(total);
    std::string bytes = Le16(total) + std::string(60, '\0');
    scripted::Reset();
    context->aborted = 0;
    ExpectBadHeader(ReadOne(bytes));
    CloseFile(context->archiveHandle);
  }
  context->archiveHandle = 0;
}

TEST_F(HeaderTest, ExtensionSizeBelowThreeIsRejected) {
  for (uint32_t size : {1u, 2u}) {
    SCOPED_TRACE(size);
    size_t crcAt = 0;
    HeaderPlan desc = FortyFiveBytePlan();
    desc.exts = {CrcExt(), FileName("abc")};
    std::string header = Build(desc, &crcAt);
    // The size announcing the file-name extension sits just after the CRC value.
    Put16(header, crcAt + 2, size);
    Put16(header, crcAt, 0);
    Put16(header, crcAt, ReferenceCrc(header));
    scripted::Reset();
    context->aborted = 0;
    ExpectBadHeader(ReadOne(header));
    CloseFile(context->archiveHandle);
  }
  context->archiveHandle = 0;
}

TEST_F(HeaderTest, ChainRunningPastTheHeaderIsRejected) {
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {CrcExt(), FileName("abc")};
  size_t crcAt = 0;
  std::string header = Build(desc, &crcAt);
  // Announce a file name one byte longer than the header holds; the archive
  // goes on after it, so a reader that trusted the size would read on.
  Put16(header, crcAt + 2, 3 + 3 + 1);
  Put16(header, crcAt, 0);
  Put16(header, crcAt, ReferenceCrc(header));
  ExpectBadHeader(ReadOne(header + std::string(40, '\x01')));
}

TEST_F(HeaderTest, FullNameMustFitTheNameBuffer) {
  std::string dir = std::string(150, 'd') + "\xFF";
  HeaderPlan desc = FortyFiveBytePlan();
  desc.exts = {DirName(dir), FileName(std::string(259 - dir.size(), 'f')), CrcExt()};
  ASSERT_EQ(ReadOne(Build(desc)), kHeaderValid);
  BuildEntryName(context);
  EXPECT_EQ(Name().size(), 259u);
  EXPECT_EQ(Name().substr(150, 2), "/f");

  CloseFile(context->archiveHandle);
  desc.exts = {DirName(dir), FileName(std::string(260 - dir.size(), 'f')), CrcExt()};
  ExpectBadHeader(ReadOne(Build(desc)));
}

TEST_F(HeaderTest, BuildEntryNameNeverWritesPastTheNameBuffer) {
  // Lengths as a caller might leave them, without the header check.
  static uint8_t longPart[400];
  memset(longPart, 'q', sizeof longPart);
  context->directoryName = longPart;
  context->directoryNameLength = 300;
  context->fileName = longPart;
  context->fileNameLength = 300;
  memset(context->destFolder, 'Z', sizeof context->destFolder);   // follows entryName
  BuildEntryName(context);
  EXPECT_EQ(Name().size(), kEntryNameCap - 1);
  EXPECT_EQ(context->destFolder[0], 'Z');
}

}  // namespace
