// The encoder against the stub's own decoder: every stream it writes must
// expand to exactly its input, and its code tables must be what the decoder
// accepts.
#include <gtest/gtest.h>

#include <random>

#include "archive/archive.h"
#include "core/little_endian.h"
#include "core/text.h"
#include "decode/decode.h"
#include "encoder.h"
#include "lzh_writer.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

std::string AsString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class EncoderTest : public SfxTest {
 protected:
  // Wraps the stream in an entry, decodes it with DecodeEntry into a file and
  // returns that file's bytes; *crcOk tells whether the running CRC matched.
  std::vector<uint8_t> Decode(const std::vector<uint8_t>& packed, size_t originalSize,
                              int digit, const std::vector<uint8_t>& original, bool* crcOk) {
    lzhw::EntryInfo info;
    info.method = std::string("-lh") + static_cast<char>('0' + digit) + "-";
    info.packedSize = static_cast<uint32_t>(packed.size());
    info.originalSize = static_cast<uint32_t>(originalSize);
    info.fileCrc = lzhw::Crc16(original.data(), original.size());
    info.fileName = "x";
    std::vector<uint8_t> archive;
    EXPECT_TRUE(lzhw::AppendEntry(archive, lzhw::MakeHeaderPlan(info), packed.data(),
                                  packed.size()));
    lzhw::AppendEndMark(archive);
    std::string in = TempPath("in.lzh"), out = TempPath("out.bin");
    WriteBytes(in, AsString(archive));
    CopyText(context->ownPath, in.c_str(), kOwnPathCap);
    CopyText(context->outputPath, out.c_str(), kOutputPathCap);
    context->archiveHandle = OpenExistingForRead(in.c_str());
    context->codec.input = ByteSource{ReadFromFile, context->archiveHandle};
    MakeCrcTable(context, kCrcPolynomial);
    EXPECT_EQ(ReadEntryHeader(context), kHeaderValid);
    context->outputHandle = CreateForWrite(out.c_str());
    context->runningCrc = 0;
    context->codec.readIndex = 0xFFFFFFFFu;
    DecodeEntry(&context->codec, EntryMethodDigit(context), EntryPackedSize(context), EntryOriginalSize(context));
    uint32_t at = 0;
    GetFilePosition(context->archiveHandle, &at);
    // The decoder consumed exactly the entry's data, up to the end mark.
    EXPECT_EQ(at, archive.size() - 2) << "stream not consumed to its end";
    *crcOk = context->runningCrc == info.fileCrc;
    CloseFile(context->outputHandle);
    context->outputHandle = 0;
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
    ReleaseEntryHeader(context);
    std::string bytes = ReadBytes(out);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }

  void RoundTrip(const std::vector<uint8_t>& data, const char* what,
                 const lzhenc::EncoderOptions& options = lzhenc::EncoderOptions()) {
    for (int digit : {5, 6, 7}) {
      std::vector<lzhenc::BlockTrace> trace;
      std::vector<uint8_t> packed =
          lzhenc::EncodeLzh(data.data(), data.size(), digit, options, &trace);
      if (data.empty()) {
        EXPECT_TRUE(packed.empty());
        continue;
      }
      CheckBlocks(trace, data.size(), digit, what);
      bool crcOk = false;
      std::vector<uint8_t> back = Decode(packed, data.size(), digit, data, &crcOk);
      EXPECT_TRUE(crcOk) << what << " lh" << digit;
      ASSERT_EQ(back.size(), data.size()) << what << " lh" << digit;
      EXPECT_TRUE(back == data) << what << " lh" << digit;
    }
  }

  // Each block: 1..65535 codes, and every table a complete prefix code with no
  // length above 16 (or empty, for the one-value form).
  static void CheckBlocks(const std::vector<lzhenc::BlockTrace>& trace, size_t size, int digit,
                          const char* what) {
    uint64_t covered = 0;
    for (const lzhenc::BlockTrace& b : trace) {
      EXPECT_GE(b.codes, 1u) << what;
      EXPECT_LE(b.codes, 65535u) << what;
      covered += b.inputBytes;
      EXPECT_EQ(b.posLengths.size(), digit == 5 ? 14u : 17u);
      for (const std::vector<uint8_t>* lengths : {&b.charLengths, &b.lengthLengths, &b.posLengths}) {
        uint64_t kraft = 0;
        int used = 0;
        for (uint8_t l : *lengths) {
          ASSERT_LE(l, 16) << what;
          if (l) {
            kraft += uint64_t{1} << (16 - l);
            ++used;
          }
        }
        if (used) {
          EXPECT_EQ(kraft, 65536u) << what;
        }
      }
    }
    EXPECT_EQ(covered, size) << what;
  }
};

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> Text(size_t n, uint32_t seed) {
  static const char* words[] = {"entry ", "header ", "block ", "\x95\x5C\x8E\xA6 ", "table ",
                                "\x83\x5C\x83\x74\x83\x67 ", "match\r\n", "window ", "code "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[rng() % 9];
    v.insert(v.end(), w, w + strlen(w));
  }
  v.resize(n);
  return v;
}

TEST_F(EncoderTest, SmallAndEmptyInputs) {
  RoundTrip({}, "empty");
  RoundTrip({'A'}, "one byte");
  RoundTrip({'A', 'B'}, "two bytes");
  RoundTrip({'x', 'x', 'x', 'x'}, "four equal bytes");
  RoundTrip(Random(40, 1), "40 random bytes");
}

TEST_F(EncoderTest, SizesAroundTheWindow) {
  for (size_t n : {65535u, 65536u, 65537u, 131072u + 3u}) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
    RoundTrip(v, "pattern");
  }
}

TEST_F(EncoderTest, LongRunsUseMaximalMatches) {
  std::vector<uint8_t> zeros(1 << 20, 0);
  RoundTrip(zeros, "1 MB of zeros");
  std::vector<uint8_t> packed = lzhenc::EncodeLzh(zeros.data(), zeros.size(), 7);
  // 4097 codes at about one bit each: far below a byte per match.
  EXPECT_LT(packed.size(), 2000u);
  std::vector<uint8_t> runs;
  for (int r = 0; r < 300; ++r) runs.insert(runs.end(), 3 + r % 300, static_cast<uint8_t>(r));
  RoundTrip(runs, "runs of growing length");
}

TEST_F(EncoderTest, RandomDataSpillsOverTheBlockCodeLimit) {
  // More literals than one block may hold.
  std::vector<uint8_t> v = Random(200000, 7);
  std::vector<lzhenc::BlockTrace> trace;
  lzhenc::EncodeLzh(v.data(), v.size(), 7, lzhenc::EncoderOptions(), &trace);
  uint32_t most = 0;
  for (const auto& b : trace) most = std::max(most, b.codes);
  EXPECT_EQ(most, 65535u);
  RoundTrip(v, "random");
}

TEST_F(EncoderTest, TextAndFarMatches) {
  RoundTrip(Text(300000, 3), "text");
  // A random 64 KB block repeated: lh7 must reach 65536 bytes back, lh5 cannot.
  std::vector<uint8_t> block = Random(65536, 9), twice = block;
  twice.insert(twice.end(), block.begin(), block.end());
  RoundTrip(twice, "64 KB repeated");
  std::vector<uint8_t> packed = lzhenc::EncodeLzh(twice.data(), twice.size(), 7);
  EXPECT_LT(packed.size(), 65536u + 65536u / 8);
}

TEST_F(EncoderTest, OptionsAtTheirExtremesStillRoundTrip) {
  lzhenc::EncoderOptions tiny;
  tiny.maxBlockCodes = 7;
  tiny.chainDepth = 1;
  tiny.niceLength = 3;
  tiny.segmentBytes = 1;
  RoundTrip(Text(20000, 5), "tiny blocks", tiny);
  lzhenc::EncoderOptions deep;
  deep.chainDepth = 1000;
  deep.niceLength = 256;
  deep.parsePasses = 4;
  RoundTrip(Text(50000, 6), "deep search", deep);
}

// Both match finders, at the edges of each dictionary: a random block repeated
// at exactly the largest distance, one byte further (out of reach), and a
// copy that starts right at the end of the input's last 16-byte context.
TEST_F(EncoderTest, BothFindersReachTheDictionaryEdgeAndNoFurther) {
  for (bool tree : {false, true}) {
    lzhenc::EncoderOptions o;
    o.treeSearch = tree;
    if (tree) o.chainDepth = 16;
    const char* what = tree ? "tree" : "chains";
    for (int digit : {5, 7}) {
      const size_t reach = digit == 5 ? 8192 : 65536;
      std::vector<uint8_t> block = Random(reach, 11), at = block, past = block;
      at.insert(at.end(), block.begin(), block.end());
      past.push_back(0x55);
      past.insert(past.end(), block.begin(), block.end());
      std::vector<uint8_t> near = lzhenc::EncodeLzh(at.data(), at.size(), digit, o, nullptr);
      std::vector<uint8_t> far = lzhenc::EncodeLzh(past.data(), past.size(), digit, o, nullptr);
      // In reach, the copy costs a few bits per 256 bytes; out of reach it is
      // random bytes again.
      EXPECT_LT(near.size(), reach + reach / 8) << what << " lh" << digit;
      EXPECT_GT(far.size(), 2 * reach - reach / 8) << what << " lh" << digit;
    }
    RoundTrip(Random(65536, 12), what, o);
    std::vector<uint8_t> tail = Text(40000, 13);
    tail.insert(tail.end(), tail.begin() + 1000, tail.begin() + 1017);  // 17 bytes: the end
    RoundTrip(tail, what, o);
    RoundTrip(Text(200000, 14), what, o);
  }
}

// Matches are found per chunk of the input, on as many threads as asked: a
// chunk started afresh (after the dictionary before it is inserted) must
// hold what a thread going on from the chunk before finds, so the bytes
// never depend on the thread count or on which thread took which chunk.
// Copies at distances around 64 KB that straddle chunk boundaries, small
// chunks so that threads start afresh often, a few runs per count.
TEST_F(EncoderTest, ThreadCountNeverChangesTheBytes) {
  std::vector<uint8_t> block = Random(65536, 21), v = block;
  v.insert(v.end(), block.begin(), block.end());      // at exactly 64 KB
  std::vector<uint8_t> text = Text(150000, 22);
  v.insert(v.end(), text.begin(), text.end());
  v.insert(v.end(), v.end() - 65535, v.end() - 65535 + 3000);  // just inside reach
  v.insert(v.end(), v.end() - 65537, v.end() - 65537 + 3000);  // just beyond it
  for (bool tree : {false, true}) {
    // The tree inserts the dictionary before every chunk: fewer of them.
    for (uint32_t chunk : {0u, tree ? 40000u : 3000u}) {
      lzhenc::EncoderOptions o;
      o.treeSearch = tree;
      o.chunkBytes = chunk;
      for (int digit : {5, 7}) {
        o.threads = 1;
        const std::vector<uint8_t> one = lzhenc::EncodeLzh(v.data(), v.size(), digit, o, nullptr);
        for (int threads : {2, 4}) {
          o.threads = threads;
          for (int run = 0; run < 3; ++run)
            ASSERT_TRUE(lzhenc::EncodeLzh(v.data(), v.size(), digit, o, nullptr) == one)
                << (tree ? "tree" : "chains") << " chunk " << chunk << " lh" << digit << ", "
                << threads << " threads";
        }
      }
      o.threads = 2;
      RoundTrip(v, tree ? "tree, 2 threads" : "chains, 2 threads", o);
    }
  }
  // The copy at 64 KB costs a few bits per 256 bytes whichever thread finds it.
  lzhenc::EncoderOptions o;
  o.threads = 2;
  std::vector<uint8_t> twice(v.begin(), v.begin() + 131072);
  EXPECT_LT(lzhenc::EncodeLzh(twice.data(), twice.size(), 7, o, nullptr).size(), 65536u + 8192u);
}

// Level 1 is larger than the default, 3 and 4 smaller.
TEST_F(EncoderTest, LevelsRoundTripAndTradeSpeedForSize) {
  std::vector<uint8_t> v = Text(120000, 23);
  size_t size[5] = {};
  for (int level : {1, 2, 3, 4}) {
    lzhenc::EncoderOptions o = lzhenc::LevelOptions(level);
    RoundTrip(v, ("level " + std::to_string(level)).c_str(), o);
    size[level] = lzhenc::EncodeLzh(v.data(), v.size(), 7, o, nullptr).size();
  }
  EXPECT_GT(size[1], size[2]);
  EXPECT_LT(size[3], size[2]);
  EXPECT_LT(size[4], size[2]);
  EXPECT_TRUE(lzhenc::EncodeLzh(v.data(), v.size(), 7, lzhenc::LevelOptions(9), nullptr) ==
              lzhenc::EncodeLzh(v.data(), v.size(), 7));
}

TEST(EncoderHelpers, SameInputSameBytes) {
  std::vector<uint8_t> v = Text(100000, 15);
  for (bool tree : {false, true}) {
    lzhenc::EncoderOptions o;
    o.treeSearch = tree;
    EXPECT_TRUE(lzhenc::EncodeLzh(v.data(), v.size(), 7, o, nullptr) ==
                lzhenc::EncodeLzh(v.data(), v.size(), 7, o, nullptr));
  }
}

TEST(EncoderHelpers, HuffmanLengthsStayWithinTheLimitAndFillTheCodeSpace) {
  // Fibonacci weights would give a depth of 30 without the limit.
  uint32_t freq[32];
  freq[0] = freq[1] = 1;
  for (int i = 2; i < 32; ++i) freq[i] = freq[i - 1] + freq[i - 2];
  uint8_t len[32];
  lzhenc::HuffmanLengths(freq, 32, 16, len);
  uint64_t kraft = 0;
  for (int i = 0; i < 32; ++i) {
    ASSERT_GE(len[i], 1);
    ASSERT_LE(len[i], 16);
    kraft += uint64_t{1} << (16 - len[i]);
  }
  EXPECT_EQ(kraft, 65536u);
  // The most frequent symbol never gets a longer code than a rarer one.
  EXPECT_LE(len[31], len[0]);

  uint32_t one[4] = {0, 5, 0, 0};
  lzhenc::HuffmanLengths(one, 4, 16, len);
  EXPECT_EQ(len[1], 1);
  EXPECT_EQ(len[0] + len[2] + len[3], 0);
}

TEST(EncoderHelpers, PositionCodes) {
  EXPECT_EQ(lzhenc::PositionCode(0), 0);
  EXPECT_EQ(lzhenc::PositionCode(1), 1);
  EXPECT_EQ(lzhenc::PositionCode(2), 2);
  EXPECT_EQ(lzhenc::PositionCode(3), 2);
  EXPECT_EQ(lzhenc::PositionCode(4), 3);
  EXPECT_EQ(lzhenc::PositionCode(65535), 16);
}

TEST(EncoderHelpers, UnknownMethodGivesNothing) {
  uint8_t b[3] = {1, 2, 3};
  EXPECT_TRUE(lzhenc::EncodeLzh(b, 3, 4).empty());
  EXPECT_TRUE(lzhenc::EncodeLzh(b, 3, 8).empty());
  EXPECT_FALSE(lzhenc::EncodeLzh(b, 3, '5').empty());
}

// Every file of the fixture archives: decoded by the stub, compressed again
// by the encoder, decoded again; never larger than the independent archiver made it.
TEST_F(EncoderTest, FixtureContentsRoundTripAndAreNoLargerThanTheFixture) {
  for (const char* name : {"fx-lh5.lzh", "fx-lh7.lzh"}) {
    std::string path = std::string(SFX_FIXTURES_DIR) + "/" + name;
    std::string bytes = ReadBytes(path);
    ASSERT_FALSE(bytes.empty()) << path;
    int digit = name[5] - '0';
    size_t at = 0;
    int files = 0;
    while (at + 2 <= bytes.size()) {
      const uint8_t* h = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
      uint16_t headerSize = ReadLE16(h);
      if (headerSize == 0) break;
      uint32_t packedSize = ReadLE32(h + 7), size = ReadLE32(h + 11);
      char method = static_cast<char>(h[5]);
      std::vector<uint8_t> packed(h + headerSize, h + headerSize + packedSize);
      at += headerSize + packedSize;
      if (method == 'd' || size == 0) continue;
      std::vector<uint8_t> data = packed;
      if (method != '0') {
        bool crcOk = false;
        // The CRC is checked against the fixture's header instead.
        data = Decode(packed, size, method - '0', {}, &crcOk);
        ASSERT_EQ(lzhw::Crc16(data.data(), data.size()), ReadLE16(h + 21)) << name;
      }
      std::vector<uint8_t> mine = lzhenc::EncodeLzh(data.data(), data.size(), digit);
      if (method != '0') {
        EXPECT_LE(mine.size(), packedSize) << name << " file " << files;
      }
      bool crcOk = false;
      EXPECT_TRUE(Decode(mine, data.size(), digit, data, &crcOk) == data) << name;
      EXPECT_TRUE(crcOk);
      ++files;
    }
    EXPECT_GE(files, 6) << name;
  }
}

}  // namespace

namespace {

// The input in parts of partBytes, each with up to 64 KB before it.
std::vector<uint8_t> EncodeInParts(const std::vector<uint8_t>& data, int digit, size_t partBytes,
                                   int threads) {
  lzhenc::EncoderOptions options;
  options.threads = threads;
  lzhenc::StreamEncoder stream(digit, options);
  std::vector<uint8_t> out;
  for (size_t at = 0; at < data.size(); at += partBytes) {
    size_t history = std::min<size_t>(at, 65536);
    size_t bytes = std::min(partBytes, data.size() - at);
    stream.Encode(data.data() + at - history, history, bytes, &out);
  }
  stream.Finish(&out);
  return out;
}

}  // namespace

TEST_F(EncoderTest, PartsWithTheirDictionaryDecodeToTheWholeInput) {
  std::vector<uint8_t> data = Text(900000, 41);
  std::vector<uint8_t> noise = Random(100000, 42);
  data.insert(data.begin() + 300000, noise.begin(), noise.end());
  for (int digit : {5, 7}) {
    SCOPED_TRACE(digit);
    std::vector<uint8_t> parts = EncodeInParts(data, digit, 256 * 1024, 2);
    bool crcOk = false;
    EXPECT_TRUE(Decode(parts, data.size(), digit, data, &crcOk) == data);
    EXPECT_TRUE(crcOk);
    // Matches reach back into the part before: parts cost next to nothing.
    std::vector<uint8_t> whole = lzhenc::EncodeLzh(data.data(), data.size(), digit);
    EXPECT_LT(parts.size(), whole.size() + whole.size() / 100);
    // The same bytes whatever the threads; one part is the whole encoding.
    EXPECT_TRUE(EncodeInParts(data, digit, 256 * 1024, 1) == parts);
    EXPECT_TRUE(EncodeInParts(data, digit, data.size(), 2) == whole);
  }
}
