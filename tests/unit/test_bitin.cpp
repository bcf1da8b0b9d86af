// The bit input: read requests never beyond the entry, zero bits after it,
// the 16-bit view, and the read error.
#include <string>
#include <vector>

#include "core/text.h"
#include "decode/decode.h"
#include "decode/decode_internal.h"
#include "decode_streams.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"
#include "core/texts.h"

namespace {

class BitInputTest : public SfxTest {
 protected:
  // Opens a file with these bytes as the archive, positioned at its start,
  // with an entry of packed bytes to come and an empty read buffer.
  void OpenArchive(const std::string& bytes, uint32_t packed) {
    std::string path = TempPath("archive.bin");
    WriteBytes(path, bytes);
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    context->codec.input = ByteSource{ReadFromFile, context->archiveHandle};
    ASSERT_NE(context->archiveHandle, 0u);
    StartEntry(packed);
  }
  void StartEntry(uint32_t packed) {
    context->codec.readIndex = 0xFFFFFFFFu;
    context->codec.packedLeft = packed;
  }
  uint32_t Position() {
    uint32_t position = 0;
    EXPECT_NE(GetFilePosition(context->archiveHandle, &position), 0);
    return position;
  }
  void TearDown() override {
    if (context != nullptr && context->archiveHandle != 0) CloseFile(context->archiveHandle);
    SfxTest::TearDown();
  }
};

TEST_F(BitInputTest, EntryWithoutBytesReadsNothingAndGivesZeroBits) {
  OpenArchive("\xFF\xFF\xFF", 0);
  StartBitInput(&context->codec, '5');
  EXPECT_TRUE(hostplatform::ReadRequests().empty());
  EXPECT_EQ(context->codec.bitBuffer, 0);
  EXPECT_EQ(GetBits(&context->codec, 16), 0);
  EXPECT_EQ(GetBits(&context->codec, 7), 0);
  FillBits(&context->codec, 17);
  EXPECT_EQ(GetBits(&context->codec, 16), 0);
  EXPECT_TRUE(hostplatform::ReadRequests().empty());
  EXPECT_EQ(Position(), 0u);
}

TEST_F(BitInputTest, OneByteEntryFillsTheTopOfTheView) {
  OpenArchive("\xA7\x55\x55", 1);
  StartBitInput(&context->codec, '5');
  EXPECT_EQ(context->codec.bitBuffer, 0xA7 * 256);
  EXPECT_EQ(hostplatform::ReadRequests(), std::vector<uint32_t>({1}));
  EXPECT_EQ(Position(), 1u);
  EXPECT_EQ(context->codec.packedLeft, 0u);
}

TEST_F(BitInputTest, MethodDigitChoosesThePositionAlphabet) {
  OpenArchive("", 0);
  const struct { char digit; uint16_t count, bits; } cases[] = {
      {'4', 14, 4}, {'5', 14, 4}, {'6', 17, 5}, {'7', 17, 5}, {'0', 14, 4}};
  for (const auto& c : cases) {
    context->codec.blockCodesLeft = 9;
    StartBitInput(&context->codec, c.digit);
    EXPECT_EQ(context->codec.posCodeCount, c.count) << c.digit;
    EXPECT_EQ(context->codec.posCountBits, c.bits) << c.digit;
    EXPECT_EQ(context->codec.blockCodesLeft, 0) << c.digit;
  }
}

TEST_F(BitInputTest, LongEntryIsReadIn16KBlocksAndStopsAtItsEnd) {
  std::string data = Pattern(20000, 7);
  // The next entry's bytes follow directly; none of them may be read.
  OpenArchive(data + Pattern(5000, 9), 20000);
  StartBitInput(&context->codec, '5');
  std::string got;
  for (size_t i = 0; i < data.size(); ++i) got.push_back(static_cast<char>(GetBits(&context->codec, 8)));
  EXPECT_EQ(got, data);
  EXPECT_EQ(hostplatform::ReadRequests(), std::vector<uint32_t>({16384, 3616}));
  EXPECT_EQ(Position(), 20000u);
  // Past the end: zeros, and still no read.
  EXPECT_EQ(GetBits(&context->codec, 16), 0);
  EXPECT_EQ(hostplatform::ReadRequests().size(), 2u);
}

TEST_F(BitInputTest, SecondEntryStartsWithAFreshRead) {
  std::string first = Pattern(100, 1);
  std::string second = Pattern(50, 2);
  OpenArchive(first + second, 100);
  StartBitInput(&context->codec, '5');
  for (int i = 0; i < 100; ++i) GetBits(&context->codec, 8);
  EXPECT_EQ(Position(), 100u);

  StartEntry(50);
  StartBitInput(&context->codec, '5');
  EXPECT_EQ(hostplatform::ReadRequests(), std::vector<uint32_t>({100, 50}));
  EXPECT_EQ(context->codec.bitBuffer,
            (static_cast<uint8_t>(second[0]) << 8) | static_cast<uint8_t>(second[1]));
}

TEST_F(BitInputTest, GetBitsTakesTheTopOfTheView) {
  OpenArchive("\x12\x34\x56\x78", 4);
  StartBitInput(&context->codec, '5');
  EXPECT_EQ(GetBits(&context->codec, 16), 0x1234);
  EXPECT_EQ(context->codec.bitBuffer, 0x5678);

  context->codec.bitBuffer = 0xE000;
  context->codec.subBitBuffer = 0xA0;   // 101 left-aligned
  context->codec.bitCount = 3;
  context->codec.packedLeft = 0;
  EXPECT_EQ(GetBits(&context->codec, 3), 7);
  EXPECT_EQ(context->codec.bitBuffer, 0x0005);   // the three sub bits moved in
  EXPECT_EQ(context->codec.bitCount, 0);
}

TEST_F(BitInputTest, FillBitsAcrossBytesAndAboveSixteen) {
  // 0x9C 0x5A 0x3F 0x81 0x7E: after dropping 17 bits the view starts at bit 17.
  OpenArchive("\x9C\x5A\x3F\x81\x7E", 5);
  StartBitInput(&context->codec, '5');
  FillBits(&context->codec, 17);
  uint64_t all = 0x9C5A3F817EULL;   // 40 bits
  EXPECT_EQ(context->codec.bitBuffer, static_cast<uint16_t>(all >> (40 - 17 - 16)));
  FillBits(&context->codec, 5);
  EXPECT_EQ(context->codec.bitBuffer, static_cast<uint16_t>(all >> (40 - 22 - 16)));
  EXPECT_EQ(GetBits(&context->codec, 2), static_cast<uint16_t>((all >> (40 - 24)) & 3));
  // Only zeros remain past the fifth byte.
  EXPECT_EQ(context->codec.bitBuffer, static_cast<uint16_t>((all & 0xFFFF) << 0));
  FillBits(&context->codec, 16);
  EXPECT_EQ(context->codec.bitBuffer, 0);
}

TEST_F(BitInputTest, ReadByteGivesMinusOneOnAShortRead) {
  OpenArchive("abc", 10);
  EXPECT_EQ(ReadArchiveByte(&context->codec, 10), -1);
  EXPECT_EQ(hostplatform::ReadRequests(), std::vector<uint32_t>({10}));
}

TEST_F(BitInputTest, AReadFailureIsRecordedAndNothingMoreIsRead) {
  std::string data = Pattern(20000, 3);
  OpenArchive(data, 20000);
  hostplatform::FailReadsAfter(16384);
  StartBitInput(&context->codec, '5');
  for (int i = 0; i < 20000; ++i) GetBits(&context->codec, 8);
  EXPECT_EQ(context->codec.decodeResult, kDecodeReadError);   // not taken for running out
  EXPECT_EQ(context->codec.packedLeft, 0u);
  EXPECT_EQ(hostplatform::ReadRequests(), std::vector<uint32_t>({16384, 3616}));
  EXPECT_TRUE(scripted::Boxes().empty());
}

}  // namespace
