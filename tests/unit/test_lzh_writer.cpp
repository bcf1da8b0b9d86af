// The entry header writer, read back through the stub's own header reader.
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "core/text.h"
#include "decode/decode.h"
#include "core/little_endian.h"
#include "lzh_writer.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

std::string AsString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class WriterTest : public SfxTest {
 protected:
  // Writes the bytes as an archive file and reads its first header with the stub's reader.
  HeaderResult ReadBack(const std::vector<uint8_t>& archive) {
    std::string path = TempPath("a.lzh");
    WriteBytes(path, AsString(archive));
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    EXPECT_NE(context->archiveHandle, 0u);
    MakeCrcTable(context, kCrcPolynomial);
    HeaderResult r = ReadEntryHeader(context);
    if (r == kHeaderValid) BuildEntryName(context);
    return r;
  }
  void TearDown() override {
    ReleaseEntryHeader(context);
    if (context->archiveHandle) CloseFile(context->archiveHandle);
    SfxTest::TearDown();
  }
};

lzhw::EntryHeaderPlan SamplePlan() {
  lzhw::EntryInfo info;
  info.method = "-lh5-";
  info.packedSize = 20224;
  info.originalSize = 170813;
  info.time = 0x12345678;
  info.attribute = 0x21;
  info.fileCrc = 0xBEEF;
  info.fileName = "readme.text";
  return lzhw::MakeHeaderPlan(info);
}

TEST(WriterCrc, KnownValuesAndPieces) {
  const uint8_t digits[] = "123456789";
  EXPECT_EQ(lzhw::Crc16(digits, 9), 0xBB3D);
  EXPECT_EQ(lzhw::Crc16(reinterpret_cast<const uint8_t*>("abc"), 3), 0x9738);
  EXPECT_EQ(lzhw::Crc16(digits, 0), 0);
  EXPECT_EQ(lzhw::Crc16(digits + 4, 5, lzhw::Crc16(digits, 4)), 0xBB3D);
}

TEST(WriterDirectoryField, SeparatorsBecomeFfAndDoubleByteNamesPass) {
  EXPECT_EQ(lzhw::DirectoryField("doc/img"), "doc\xFFimg\xFF");
  EXPECT_EQ(lzhw::DirectoryField("doc/img/"), "doc\xFFimg\xFF");
  EXPECT_EQ(lzhw::DirectoryField("/a//b/"), "a\xFF" "b\xFF");
  EXPECT_EQ(lzhw::DirectoryField(""), "");
  // 表示 in Shift-JIS: its first character ends in 0x5C.
  EXPECT_EQ(lzhw::DirectoryField("\x95\x5C\x8E\xA6"), "\x95\x5C\x8E\xA6\xFF");
}

TEST_F(WriterTest, FixedFieldsSitAtTheirOffsets) {
  std::vector<uint8_t> h = lzhw::WriteEntryHeader(SamplePlan());
  ASSERT_GE(h.size(), 26u);
  EXPECT_EQ(ReadLE16(&h[0]), h.size());
  EXPECT_EQ(std::string(h.begin() + 2, h.begin() + 7), "-lh5-");
  EXPECT_EQ(ReadLE32(&h[7]), 20224u);
  EXPECT_EQ(ReadLE32(&h[11]), 170813u);
  EXPECT_EQ(ReadLE32(&h[15]), 0x12345678u);
  EXPECT_EQ(h[19], 0x21);
  EXPECT_EQ(h[20], 2);
  EXPECT_EQ(ReadLE16(&h[21]), 0xBEEF);
  EXPECT_EQ(h[23], 'M');
  // The chain adds up to the total size.
  size_t at = 24, sum = 0;
  while (uint16_t s = ReadLE16(&h[at])) {
    sum += s;
    at += s;
    ASSERT_LT(at + 1, h.size());
  }
  EXPECT_EQ(sum, h.size() - 26);
}

TEST_F(WriterTest, HeaderCrcCoversTheHeaderWithItsFieldZeroed) {
  lzhw::EntryHeaderPlan desc = SamplePlan();
  lzhw::RemoveExtensions(desc, kExtAttribute);
  std::vector<uint8_t> h = lzhw::WriteEntryHeader(desc);
  // CRC first, then the 11-byte name: 26 + 5 + 14 bytes.
  ASSERT_EQ(h.size(), 45u);
  EXPECT_EQ(h[26], kExtHeaderCrc);
  std::vector<uint8_t> zeroed = h;
  zeroed[27] = zeroed[28] = 0;
  EXPECT_EQ(ReadLE16(&h[27]), lzhw::Crc16(zeroed.data(), zeroed.size()));

  std::vector<uint8_t> archive = h;
  lzhw::AppendEndMark(archive);
  ASSERT_EQ(ReadBack(archive), kHeaderValid);
  EXPECT_STREQ(context->entryName, "readme.text");
  EXPECT_EQ(EntryOriginalSize(context), 170813u);
}

TEST_F(WriterTest, NamesAttributeAndDirectoryEntriesReadBack) {
  lzhw::EntryInfo info;
  info.method = "-lhd-";
  info.attribute = 0x0110;   // the high byte only travels in extended header 0x40
  info.directory = "doc/\x95\x5C\x8E\xA6";
  std::vector<uint8_t> archive;
  ASSERT_TRUE(lzhw::AppendEntry(archive, lzhw::MakeHeaderPlan(info), nullptr, 0));
  ASSERT_EQ(ReadBack(archive), kHeaderValid);
  EXPECT_STREQ(context->entryName, "doc/\x95\x5C\x8E\xA6/");
  EXPECT_EQ(context->attribute, 0x0110);
  EXPECT_EQ(EntryMethodDigit(context), 'd');
}

TEST_F(WriterTest, DamagedHeadersAreRefusedByTheReader) {
  struct Case {
    const char* what;
    void (*damage)(lzhw::EntryHeaderPlan&);
  } cases[] = {
      {"wrong CRC", [](lzhw::EntryHeaderPlan& s) { s.headerCrcOverride = 0x1234; }},
      {"no CRC", [](lzhw::EntryHeaderPlan& s) { lzhw::RemoveExtensions(s, kExtHeaderCrc); }},
      {"method digit 3", [](lzhw::EntryHeaderPlan& s) { s.method = "-lh3-"; }},
      {"short method", [](lzhw::EntryHeaderPlan& s) { s.method = "-lh"; }},
      {"extension past the end",
       [](lzhw::EntryHeaderPlan& s) { s.extensions.push_back({0x7F, {1, 2}, 400}); }},
      {"extension below 3",
       [](lzhw::EntryHeaderPlan& s) { s.extensions.push_back({0x7F, {}, 2}); }},
  };
  for (const Case& c : cases) {
    lzhw::EntryHeaderPlan desc = SamplePlan();
    c.damage(desc);
    std::vector<uint8_t> archive;
    ASSERT_TRUE(lzhw::AppendEntry(archive, desc, nullptr, 0)) << c.what;
    EXPECT_EQ(ReadBack(archive), kHeaderInvalid) << c.what;
    ReleaseEntryHeader(context);
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
  }
}

TEST_F(WriterTest, ExtraExtensionsAndTrailingBytesStayInsideTheCrc) {
  lzhw::EntryHeaderPlan desc = SamplePlan();
  desc.extensions.push_back({0x7F, {9, 9, 9}, -1});
  desc.extensions.push_back({kExtFileName, {'b', '.', 'x'}, -1});  // the last name wins
  desc.trailing = {0xAA, 0xBB};
  std::vector<uint8_t> h = lzhw::WriteEntryHeader(desc);
  EXPECT_EQ(h[h.size() - 2], 0xAA);
  EXPECT_EQ(ReadLE16(&h[0]), h.size());
  ASSERT_EQ(ReadBack(h), kHeaderValid);
  EXPECT_STREQ(context->entryName, "b.x");
}

TEST(WriterLimits, OverrideOfTheTotalSizeAndOversizedHeaders) {
  lzhw::EntryHeaderPlan desc = SamplePlan();
  desc.totalSizeOverride = 7;
  std::vector<uint8_t> h = lzhw::WriteEntryHeader(desc);
  EXPECT_EQ(ReadLE16(&h[0]), 7);
  desc.totalSizeOverride = -1;
  desc.trailing.assign(70000, 0);
  EXPECT_TRUE(lzhw::WriteEntryHeader(desc).empty());
  std::vector<uint8_t> archive = {1};
  EXPECT_FALSE(lzhw::AppendEntry(archive, desc, nullptr, 0));
  EXPECT_EQ(archive.size(), 1u);
}

}  // namespace
