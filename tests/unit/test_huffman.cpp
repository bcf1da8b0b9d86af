// The code tables: canonical codes through direct tables and trees, the
// length readers, and every set of lengths that must be refused.
#include <string.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "decode/decode.h"
#include "decode/decode_internal.h"
#include "decode/decode_internal.h"
#include "decode_streams.h"
#include "platform/platform.h"
#include "test_support.h"
#include "core/texts.h"

namespace {

class HuffmanTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    CopyText(context->ownPath, "C:\\sfx\\own.exe", kOwnPathCap);
  }
  void TearDown() override {
    if (context != nullptr && context->archiveHandle != 0) CloseFile(context->archiveHandle);
    SfxTest::TearDown();
  }
  // Makes the bit stream of the current entry out of these bytes.
  void Stream(const std::string& bytes) {
    std::string path = TempPath("stream.bin");
    WriteBytes(path, bytes);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    context->codec.input = ByteSource{ReadFromFile, context->archiveHandle};
    ASSERT_NE(context->archiveHandle, 0u);
    context->codec.readIndex = 0xFFFFFFFFu;
    context->codec.packedLeft = static_cast<uint32_t>(bytes.size());
    StartBitInput(&context->codec, '5');
  }
  // Every symbol's code, followed by any bits, looks up that symbol.
  void ExpectDecodes(const std::vector<int>& lengths, const uint16_t* table, int tableBits) {
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == 0) continue;
      // The code at the top of the view, followed by ones and by zeros.
      for (uint32_t filler : {0u, 0xFFFFu}) {
        uint16_t rest = static_cast<uint16_t>(filler >> lengths[s]);
        uint16_t view = static_cast<uint16_t>((codes[s] << (16 - lengths[s])) | rest);
        EXPECT_EQ(LookUpSymbol(&context->codec, view, table, tableBits, static_cast<uint16_t>(lengths.size())), s)
            << "symbol " << s << " length " << lengths[s];
      }
    }
  }
  std::vector<uint8_t> Bytes8(const std::vector<int>& lengths) {
    return std::vector<uint8_t>(lengths.begin(), lengths.end());
  }
};


TEST_F(HuffmanTest, EveryCodeOfAFlatSetIsFoundInOneLookup) {
  std::vector<int> symbols;
  for (int s = 0; s < 510; s += 3) symbols.push_back(s);
  std::vector<int> lengths = FlatLengths(510, symbols);
  std::vector<uint8_t> bytes = Bytes8(lengths);
  MakeTable(&context->codec, 510, bytes.data(), 12, context->codec.charTable);
  ExpectDecodes(lengths, context->codec.charTable, 12);
}

TEST_F(HuffmanTest, CodesLongerThanTheTableAreFoundThroughTrees) {
  // Character code with lengths 1 to 16 (and a second 16): the last four
  // levels lie in trees below the 12-bit table.
  std::vector<int> symbols;
  for (int s = 509; symbols.size() < 17; s -= 29) symbols.push_back(s);
  std::vector<int> lengths = SkewedLengths(510, symbols);
  std::vector<uint8_t> bytes = Bytes8(lengths);
  MakeTable(&context->codec, 510, bytes.data(), 12, context->codec.charTable);
  ExpectDecodes(lengths, context->codec.charTable, 12);

  // Position codes with 17 symbols in an 8-bit table: eight tree levels.
  std::vector<int> positions;
  for (int s = 0; s < 17; ++s) positions.push_back(16 - s);
  lengths = SkewedLengths(17, positions);
  bytes = Bytes8(lengths);
  MakeTable(&context->codec, 17, bytes.data(), 8, context->codec.posTable);
  ExpectDecodes(lengths, context->codec.posTable, 8);
  // The position tree did not touch the character tree's nodes.
  std::vector<int> charLengths = SkewedLengths(510, symbols);
  ExpectDecodes(charLengths, context->codec.charTable, 12);
}

TEST_F(HuffmanTest, DeepestCompleteCharacterCodeStaysInTheNodeArrays) {
  // Start from two 1-bit codes and keep splitting the longest code below 16
  // bits until all 510 symbols have one: as many tree nodes as a complete
  // code of this alphabet can ask for.
  std::vector<int> lengths = {1, 1};
  while (lengths.size() < 510) {
    size_t pick = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
      if (lengths[i] < 16 && (lengths[pick] >= 16 || lengths[i] > lengths[pick])) pick = i;
    }
    ASSERT_LT(lengths[pick], 16);
    lengths[pick]++;
    lengths.push_back(lengths[pick]);
  }
  std::vector<uint8_t> bytes = Bytes8(lengths);
  MakeTable(&context->codec, 510, bytes.data(), 12, context->codec.charTable);
  ExpectDecodes(lengths, context->codec.charTable, 12);
}

TEST_F(HuffmanTest, TwoOneBitCodesSplitTheTable) {
  uint8_t lengths[14] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  MakeTable(&context->codec, 14, lengths, 8, context->codec.posTable);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(context->codec.posTable[i], 1) << i;
  for (int i = 128; i < 256; ++i) EXPECT_EQ(context->codec.posTable[i], 9) << i;
}

TEST_F(HuffmanTest, AllZeroLengthsLeaveTheTableAsItWas) {
  for (int i = 0; i < 256; ++i) context->codec.posTable[i] = static_cast<uint16_t>(i * 7);
  uint8_t lengths[19] = {};
  MakeTable(&context->codec, 19, lengths, 8, context->codec.posTable);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(context->codec.posTable[i], i * 7) << i;
}

// Each of these sets would, if built, leave its arrays or read a node the
// block did not make; each must be refused as a bad table.
TEST_F(HuffmanTest, SetsThatDoNotFormACompleteCodeAreRefused) {
  struct Case {
    const char* what;
    std::vector<int> lengths;
  };
  std::vector<Case> cases = {
      {"one code of one bit", {1, 0, 0}},
      {"under-full", {1, 2, 3}},
      {"over-full", {1, 1, 1}},
      {"over-full by exactly the code space", {1, 1, 1, 1}},
      {"length above 16", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 17}},
  };
  cases.push_back({"wildly over-full", std::vector<int>(510, 8)});
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = Bytes8(c.lengths);
    context->codec.decodeResult = kDecodeDone;
    MakeTable(&context->codec, static_cast<uint16_t>(bytes.size()), bytes.data(), bytes.size() > 19 ? 12 : 8,
              bytes.size() > 19 ? context->codec.charTable : context->codec.posTable);
    EXPECT_EQ(context->codec.decodeResult, kDecodeBadTable) << c.what;
  }
}

TEST_F(HuffmanTest, ValidSetsAreNotRefusedByTheStricterCheck) {
  // The sets right next to the refused ones.
  for (const std::vector<int>& lengths :
       {std::vector<int>{1, 1}, std::vector<int>{1, 2, 2}, std::vector<int>{2, 2, 2, 2},
        SkewedLengths(19, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})}) {
    std::vector<uint8_t> bytes = Bytes8(lengths);
    MakeTable(&context->codec, static_cast<uint16_t>(bytes.size()), bytes.data(), 8, context->codec.posTable);
    ExpectDecodes(lengths, context->codec.posTable, 8);
  }
}

TEST_F(HuffmanTest, LengthCodeWithUnaryExtensionAndZeroRun) {
  // Entry 1 is written as the seven bits 1111110 (length 10); after the third
  // length a zero-run of 3 clears entries 3, 4 and 5, and the next length
  // read goes to entry 6.
  std::vector<int> lengths = {2, 10, 0, 0, 0, 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0};
  uint32_t space = 0;
  for (int len : lengths) space += len ? 1u << (16 - len) : 0;
  ASSERT_EQ(space, 65536u);
  BitWriter w;
  w.Put(5, 15);
  w.SmallLength(2);
  w.Put(7, 0b1111110);
  w.SmallLength(0);
  w.Put(2, 3);
  for (int i = 6; i < 15; ++i) w.SmallLength(lengths[i]);
  w.Put(16, 0xABCD);   // what follows the lengths
  Stream(w.Bytes());

  memset(context->codec.posLen, 0x55, sizeof context->codec.posLen);
  ReadPosLengths(&context->codec, 19, 5, 3);
  for (int i = 0; i < 19; ++i) EXPECT_EQ(context->codec.posLen[i], lengths[i]) << i;
  EXPECT_EQ(context->codec.bitBuffer, 0xABCD);
  ExpectDecodes(lengths, context->codec.posTable, 8);
}

TEST_F(HuffmanTest, OneValueCodesConsumeNoBits) {
  BitWriter w;
  w.Put(4, 0);
  w.Put(4, 11);        // position code: only 11
  w.Put(16, 0x5A5A);
  Stream(w.Bytes());
  context->codec.posLen[3] = 9;
  ReadPosLengths(&context->codec, 14, 4, -1);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(context->codec.posTable[i], 11) << i;
  for (int i = 0; i < 14; ++i) EXPECT_EQ(context->codec.posLen[i], 0) << i;
  EXPECT_EQ(context->codec.bitBuffer, 0x5A5A);
  context->codec.blockCodesLeft = 5;
  EXPECT_EQ(DecodePosition(&context->codec), (1u << 10) + (0x5A5Au >> 6));   // 10 extra bits
}

TEST_F(HuffmanTest, CharacterLengthsThroughTheLengthCode) {
  // Lengths: a few literals and match lengths, with runs of zeros coded by
  // all three zero symbols.
  std::vector<int> symbols = {'a', 'b', 'c', 300, 301, 509};
  std::vector<int> lengths = FlatLengths(510, symbols);
  BitWriter w;
  std::vector<int> lengthCode = LengthCodeLengths();
  std::vector<uint32_t> lc = CanonicalCodes(lengthCode);
  w.Put(5, 19);
  for (int i = 0; i < 19; ++i) {
    w.SmallLength(lengthCode[i]);
    if (i == 2) w.Put(2, 0);
  }
  w.Put(9, 510);
  int i = 0;
  while (i < 510) {
    if (lengths[i] != 0) {
      w.Put(lengthCode[lengths[i] + 2], lc[lengths[i] + 2]);
      ++i;
      continue;
    }
    int run = 0;
    while (i + run < 510 && lengths[i + run] == 0) ++run;
    if (run >= 20) {
      int take = run > 531 ? 531 : run;
      w.Put(lengthCode[2], lc[2]);
      w.Put(9, static_cast<uint32_t>(take - 20));
      i += take;
    } else if (run >= 3) {
      int take = run > 18 ? 18 : run;
      w.Put(lengthCode[1], lc[1]);
      w.Put(4, static_cast<uint32_t>(take - 3));
      i += take;
    } else {
      w.Put(lengthCode[0], lc[0]);
      ++i;
    }
  }
  w.Put(16, 0x1234);
  Stream(w.Bytes());
  ReadPosLengths(&context->codec, 19, 5, 3);
  ReadCharLengths(&context->codec);
  for (int s = 0; s < 510; ++s) ASSERT_EQ(context->codec.charLen[s], lengths[s]) << s;
  EXPECT_EQ(context->codec.bitBuffer, 0x1234);
  ExpectDecodes(lengths, context->codec.charTable, 12);
}

// Streams whose lengths must be refused before anything is stored out of
// place or looked up in a table the block did not build.
TEST_F(HuffmanTest, MalformedLengthStreamsAreRefused) {
  std::vector<int> lengthCode = LengthCodeLengths();
  std::vector<uint32_t> lc = CanonicalCodes(lengthCode);
  auto putLengthCode = [&](BitWriter& w) {
    w.Put(5, 19);
    for (int i = 0; i < 19; ++i) {
      w.SmallLength(lengthCode[i]);
      if (i == 2) w.Put(2, 0);
    }
  };
  struct Case {
    const char* what;
    std::string stream;
    enum Reader { kPositions, kLengthCode, kCharLengths } reader;
  };
  std::vector<Case> cases;
  {
    BitWriter w;   // one-value position code with a value past the alphabet
    w.Put(4, 0);
    w.Put(4, 14);
    cases.push_back({"position value 14 of 14", w.Bytes(), Case::kPositions});
  }
  {
    BitWriter w;   // one-value length code with a value past its 19 symbols
    w.Put(5, 0);
    w.Put(5, 19);
    cases.push_back({"length-code value 19", w.Bytes(), Case::kLengthCode});
  }
  {
    BitWriter w;   // one-value character code 510
    putLengthCode(w);
    w.Put(9, 0);
    w.Put(9, 510);
    cases.push_back({"character value 510", w.Bytes(), Case::kCharLengths});
  }
  {
    BitWriter w;   // 511 character lengths
    putLengthCode(w);
    w.Put(9, 511);
    for (int i = 0; i < 511; ++i) w.Put(lengthCode[0], lc[0]);
    cases.push_back({"511 character lengths", w.Bytes(), Case::kCharLengths});
  }
  {
    BitWriter w;   // a zero-run from entry 500 that would run past 509
    putLengthCode(w);
    w.Put(9, 510);
    w.Put(lengthCode[2], lc[2]);
    w.Put(9, 480 - 20);   // entries 0 to 479
    w.Put(lengthCode[2], lc[2]);
    w.Put(9, 0);          // 480 to 499
    w.Put(lengthCode[2], lc[2]);
    w.Put(9, 0);          // 500 to 519: past the end
    cases.push_back({"zero-run past entry 509", w.Bytes(), Case::kCharLengths});
  }
  {
    BitWriter w;   // a length code with nothing but zeros, then used
    w.Put(5, 5);
    for (int i = 0; i < 5; ++i) {
      w.SmallLength(0);
      if (i == 2) w.Put(2, 0);
    }
    w.Put(9, 3);
    cases.push_back({"lookup in an empty length code", w.Bytes(), Case::kCharLengths});
  }
  {
    BitWriter w;   // lengths of 17 and more from the unary extension
    w.Put(5, 3);
    w.SmallLength(1);
    w.SmallLength(17);
    w.SmallLength(17);
    w.Put(2, 0);
    cases.push_back({"length 17", w.Bytes(), Case::kLengthCode});
  }
  for (const Case& c : cases) {
    Stream(c.stream);
    if (c.reader == Case::kPositions) {
      ReadPosLengths(&context->codec, 14, 4, -1);
    } else {
      ReadPosLengths(&context->codec, 19, 5, 3);
      if (c.reader == Case::kCharLengths) ReadCharLengths(&context->codec);
    }
    EXPECT_EQ(context->codec.decodeResult, kDecodeBadTable) << c.what;
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
  }
}

TEST_F(HuffmanTest, PositionCountAboveTheAlphabetIsReadAndIgnored) {
  // Fifteen lengths for fourteen positions: the fifteenth is read (so the
  // next bits are right) and takes no part in the code.
  std::vector<int> lengths = SkewedLengths(14, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
  BitWriter w;
  w.Put(4, 15);
  for (int i = 0; i < 14; ++i) w.SmallLength(lengths[i]);
  w.SmallLength(5);
  w.Put(16, 0xC3C3);
  Stream(w.Bytes());
  ReadPosLengths(&context->codec, 14, 4, -1);
  EXPECT_EQ(context->codec.posLen[14], 5);
  EXPECT_EQ(context->codec.bitBuffer, 0xC3C3);
  ExpectDecodes(lengths, context->codec.posTable, 8);
}

TEST_F(HuffmanTest, EmptyPositionCodeIsRefusedOnlyWhenUsed) {
  BitWriter w;
  w.Put(4, 2);   // two lengths, both zero: no code
  w.SmallLength(0);
  w.SmallLength(0);
  Stream(w.Bytes());
  for (int i = 0; i < 256; ++i) context->codec.posTable[i] = 3;
  ReadPosLengths(&context->codec, 14, 4, -1);   // accepted: a block may have no matches
  EXPECT_EQ(context->codec.posTable[0], 3);
  EXPECT_EQ(context->codec.decodeResult, kDecodeDone);
  DecodePosition(&context->codec);
  EXPECT_EQ(context->codec.decodeResult, kDecodeBadTable);
}

}  // namespace
