#include <string>
#include <vector>

#include "archive/archive.h"
#include "decode/decode.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> PseudoRandomBytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = 0x12345678;
  for (auto& b : bytes) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

class CrcTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    MakeCrcTable(context, kCrcPolynomial);
  }
  uint16_t CrcOf(const std::string& text) {
    context->runningCrc = 0;
    return UpdateCrc(context, text.data(), static_cast<int32_t>(text.size()));
  }
};

TEST_F(CrcTest, TableHoldsTheRemainderOfEveryByte) {
  for (int i = 0; i < 256; ++i) {
    uint8_t byte = static_cast<uint8_t>(i);
    // The remainder of one byte is the CRC of that byte alone from 0.
    EXPECT_EQ(context->crc.table[i], ReferenceCrc(0, &byte, 1)) << "entry " << i;
  }
  EXPECT_EQ(context->crc.table[1], 0xC0C1);
  EXPECT_EQ(context->crc.table[128], 0xA001);
  EXPECT_EQ(context->crc.table[255], 0x4040);
}

TEST_F(CrcTest, RebuildingTheTableChangesNothing) {
  std::vector<uint16_t> first(context->crc.table, context->crc.table + 256);
  MakeCrcTable(context, kCrcPolynomial);
  EXPECT_EQ(std::vector<uint16_t>(context->crc.table, context->crc.table + 256), first);
}

TEST_F(CrcTest, KnownCheckValues) {
  EXPECT_EQ(CrcOf("123456789"), 0xBB3D);
  EXPECT_EQ(CrcOf("abc"), 0x9738);
  EXPECT_EQ(CrcOf(""), 0);
  EXPECT_EQ(context->runningCrc, 0);
}

TEST_F(CrcTest, ResultIsAlsoLeftInTheRunningValue) {
  uint16_t result = CrcOf("123456789");
  EXPECT_EQ(context->runningCrc, result);
}

// Every length and every split point across the eight-byte steps and the tail.
TEST_F(CrcTest, MatchesTheBitwiseReferenceWhereverTheRunIsSplit) {
  std::vector<uint8_t> data = PseudoRandomBytes(300);
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t split = 0; split <= length; ++split) {
      context->runningCrc = 0;
      UpdateCrc(context, data.data(), static_cast<int32_t>(split));
      uint16_t value = UpdateCrc(context, data.data() + split, static_cast<int32_t>(length - split));
      ASSERT_EQ(value, ReferenceCrc(0, data.data(), length))
          << "length " << length << " split " << split;
    }
  }
  context->runningCrc = 0;
  EXPECT_EQ(UpdateCrc(context, data.data() + 3, 297), ReferenceCrc(0, data.data() + 3, 297));
}

TEST_F(CrcTest, ContinuesFromTheCurrentRunningValue) {
  std::vector<uint8_t> data = PseudoRandomBytes(64);
  context->runningCrc = 0x1D0F;
  EXPECT_EQ(UpdateCrc(context, data.data(), 64), ReferenceCrc(0x1D0F, data.data(), 64));
}

TEST_F(CrcTest, ZeroOrNegativeLengthChangesNothing) {
  context->runningCrc = 0xBEEF;
  const char byte = 'x';
  EXPECT_EQ(UpdateCrc(context, &byte, 0), 0xBEEF);
  EXPECT_EQ(UpdateCrc(context, &byte, -1), 0xBEEF);
  EXPECT_EQ(UpdateCrc(context, &byte, INT32_MIN), 0xBEEF);
  EXPECT_EQ(context->runningCrc, 0xBEEF);
}

TEST_F(CrcTest, LargeRunMatchesReference) {
  std::vector<uint8_t> data = PseudoRandomBytes(65536 + 5);
  context->runningCrc = 0;
  EXPECT_EQ(UpdateCrc(context, data.data(), static_cast<int32_t>(data.size())),
            ReferenceCrc(0, data.data(), data.size()));
}

}  // namespace
