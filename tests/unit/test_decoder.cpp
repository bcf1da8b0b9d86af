// The block decoder and the stored copy: the fixture archives extract to the
// manifest's digests; the fast loop matches a byte-wise decoder built from the
// exact routines in bytes, CRC, read requests and progress; the window's
// hand-overs, blanks before the first byte, matches past the end, early
// stream ends, and the failures it hands back.
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/text.h"
#include "decode/decode.h"
#include "decode/decode_internal.h"
#include "decode_streams.h"
#include "encoder.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "run/run.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

// Text-like data with repeats at every distance up to 64 KB.
std::string Texty(size_t size, uint32_t seed) {
  static const char* words[] = {"the ",   "archive ", "window ", "of ",     "decoder ", "\r\n",
                                "table ", "block ",   "bits ",   "match ",  "length ",  "a ",
                                "16 KB ", "stream ",  "header ", "\x8a\xbf\x8e\x9a "};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size) {
    if (out.size() > 70000 && rng() % 8 == 0) {
      size_t back = 1 + rng() % 65536;
      size_t len = 3 + rng() % 300;
      size_t from = out.size() - back;
      for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    } else {
      out += words[rng() % 16];
    }
  }
  out.resize(size);
  return out;
}

class DecoderTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    context->dialogWindow = scripted::kDialogWindow;
    // The walk's sink: the file, the CRC and the progress texts.
    context->codec.sink = HandOver;
    MakeCrcTable(context, kCrcPolynomial);
  }
  void TearDown() override {
    if (context != nullptr) {
      if (context->archiveHandle != 0) CloseFile(context->archiveHandle);
      ReleaseEntryHeader(context);
    }
    SfxTest::TearDown();
  }

  // The current entry: a header with the method and sizes, and its data in
  // the archive file, followed by bytes that must never be read.
  void MakeEntry(char digit, const std::string& packed, uint32_t originalSize) {
    if (context->archiveHandle != 0) CloseFile(context->archiveHandle);
    std::string path = TempPath("archive.bin");
    WriteBytes(path, packed + "NEXT HEADER");
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    context->codec.input = ByteSource{ReadFromFile, context->archiveHandle};
    ASSERT_NE(context->archiveHandle, 0u);
    ReleaseEntryHeader(context);
    uint8_t* h = static_cast<uint8_t*>(AllocZeroed(kHeaderFixedSize));
    ASSERT_NE(h, nullptr);
    memcpy(h + kHeaderMethod, "-lh0-", 5);
    h[kHeaderMethod + 3] = static_cast<uint8_t>(digit);
    uint32_t packedSize = static_cast<uint32_t>(packed.size());
    for (int i = 0; i < 4; ++i) {
      h[kHeaderPackedSize + i] = static_cast<uint8_t>(packedSize >> (8 * i));
      h[kHeaderOriginalSize + i] = static_cast<uint8_t>(originalSize >> (8 * i));
    }
    context->headerBuffer = h;
    context->headerSize = kHeaderFixedSize;
  }
  void RewindEntry() {
    uint32_t at = 0;
    ASSERT_NE(SeekFile(context->archiveHandle, 0, &at), 0);
  }

  struct Result {
    std::string bytes;
    uint16_t crc = 0;
    std::vector<uint32_t> reads;
    std::vector<std::string> progress;
    uint32_t position = 0;
    bool overrun = false;
  };

  // The entry's output file as the walk leaves it before the data step: its
  // path in the context, created and open, no CRC yet, nothing read.
  std::string OpenOutput(const char* name) {
    std::string out = TempPath(name);
    CopyText(context->outputPath, out.c_str(), kOutputPathCap);
    context->outputHandle = CreateForWrite(out.c_str());
    EXPECT_NE(context->outputHandle, 0u);
    context->runningCrc = 0;
    context->codec.readIndex = 0xFFFFFFFFu;
    context->progressShownAt = TickCount() - kProgressInterval;
    return out;
  }

  // Runs the data step of the current entry into a file, as the walk does.
  template <typename Step>
  Result Run(Step step) {
    RewindEntry();
    hostplatform::Reset();
    scripted::Reset();
    std::string out = OpenOutput("out.bin");
    step();
    Result r;
    EXPECT_NE(GetFilePosition(context->archiveHandle, &r.position), 0);
    CloseFile(context->outputHandle);
    context->outputHandle = 0;
    r.bytes = ReadBytes(out);
    r.crc = context->runningCrc;
    r.overrun = context->codec.decodeResult == kDecodeOverrun;
    r.reads = hostplatform::ReadRequests();
    r.progress = scripted::ControlTextHistory(IDC_PROGRESS);
    return r;
  }
  static DecodeResult DecodeCurrent() {
    return DecodeEntry(&context->codec, EntryMethodDigit(context), EntryPackedSize(context), EntryOriginalSize(context));
  }
  Result Decode() { return Run([] { DecodeCurrent(); }); }
  Result Reference() { return Run([] { ReferenceDecodeEntry(); }); }

  // The block decoder as a byte-wise loop over the exact routines: the
  // yardstick for the fast loop.
  static void ReferenceDecodeEntry() {
    DecodeState& c = context->codec;
    context->runningCrc = 0;
    c.originalSize = EntryOriginalSize(context);
    c.packedLeft = EntryPackedSize(context);
    memset(c.window, ' ', kWindowSize);
    StartBitInput(&context->codec, EntryMethodDigit(context));
    uint32_t done = 0, fill = 0;
    auto handOver = [&](uint32_t count) {
      HandOver(&c, c.window, kWindowSize, count);
      fill = 0;
    };
    while (done < c.originalSize) {
      uint16_t s = DecodeChar(&context->codec);
      if (c.decodeResult != kDecodeDone) break;
      if (s < 256) {
        c.window[fill++] = static_cast<uint8_t>(s);
        if (fill == kWindowSize) handOver(done + 1);
        done++;
      } else {
        uint32_t len = s - kMatchSymbolBase;
        uint32_t d = DecodePosition(&context->codec);
        if (c.decodeResult != kDecodeDone) break;
        done += len;
        uint32_t src = (fill - d - 1) & 0xFFFF;
        for (uint32_t k = 0; k < len; ++k) {
          c.window[fill++] = c.window[(src + k) & 0xFFFF];
          if (fill == kWindowSize) handOver(done);
        }
      }
    }
    if (fill > 0) HandOver(&c, c.window, fill, c.originalSize);
  }

  void ExpectSameAsReference(const char* what) {
    Result fast = Decode();
    Result ref = Reference();
    EXPECT_EQ(fast.bytes.size(), ref.bytes.size()) << what;
    EXPECT_TRUE(fast.bytes == ref.bytes) << what;
    EXPECT_EQ(fast.crc, ref.crc) << what;
    EXPECT_EQ(fast.reads, ref.reads) << what;
    EXPECT_EQ(fast.progress, ref.progress) << what;
    EXPECT_EQ(fast.position, ref.position) << what;
    EXPECT_EQ(fast.overrun, ref.overrun) << what;
  }
};

std::string ProgressText(uint32_t percent) {
  return std::string(TEXT_PROGRESS_PREFIX) + std::to_string(percent) + "%";
}

// ---- the fixtures ----

TEST_F(DecoderTest, FixtureArchivesExtractToTheManifest) {
  auto manifest = LoadManifest();
  ASSERT_EQ(manifest.size(), 3u);
  for (const auto& [archive, expected] : manifest) {
    SCOPED_TRACE(archive);
    std::string path = FixturePath(archive);
    CopyText(context->ownPath, path.c_str(), kOwnPathCap);
    context->archiveHandle = OpenExistingForRead(path.c_str());
    context->codec.input = ByteSource{ReadFromFile, context->archiveHandle};
    ASSERT_NE(context->archiveHandle, 0u);
    std::map<std::string, const ManifestEntry*> byName;
    for (const ManifestEntry& e : expected) byName[e.name] = &e;
    std::set<std::string> seen;
    std::set<char> methods;
    for (;;) {
      HeaderResult result = ReadEntryHeader(context);
      if (result == kHeaderEnd) break;
      ASSERT_EQ(result, kHeaderValid);
      BuildEntryName(context);
      auto found = byName.find(context->entryName);
      ASSERT_NE(found, byName.end()) << context->entryName;
      const ManifestEntry& e = *found->second;
      EXPECT_TRUE(seen.insert(e.name).second) << "twice: " << e.name;
      char digit = EntryMethodDigit(context);
      methods.insert(digit);
      uint32_t start = 0;
      ASSERT_NE(GetFilePosition(context->archiveHandle, &start), 0);
      if (digit == 'd') {
        EXPECT_TRUE(e.directory) << e.name;
        continue;
      }
      std::string out = OpenOutput("entry.bin");
      ASSERT_NE(context->outputHandle, 0u);
      EXPECT_EQ(RunEntryData(context), kDecodeDone);
      CloseFile(context->outputHandle);
      context->outputHandle = 0;
      std::string bytes = ReadBytes(out);
      EXPECT_EQ(bytes.size(), e.size) << e.name;
      EXPECT_EQ(Sha256Hex(bytes), e.sha) << e.name;
      EXPECT_EQ(context->runningCrc, EntryFileCrc(context)) << e.name;
      // The next header follows without a seek.
      uint32_t end = 0;
      ASSERT_NE(GetFilePosition(context->archiveHandle, &end), 0);
      EXPECT_EQ(end, start + EntryPackedSize(context)) << e.name;
    }
    EXPECT_EQ(seen.size(), expected.size());
    char digit = archive[5];   // fx-lhN.lzh
    EXPECT_TRUE(methods.count(digit)) << "no entry compressed with the archive's method";
    EXPECT_TRUE(methods.count('0') && methods.count('d'));
    CloseFile(context->archiveHandle);
    context->archiveHandle = 0;
  }
}

// Finds an entry of a fixture by name and makes it the current entry.
void LoadFixtureEntry(const std::string& archive, const std::string& name, char* digit,
                      std::string* packed, uint32_t* originalSize) {
  std::string bytes = ReadBytes(FixturePath(archive));
  size_t at = 0;
  while (at + 26 <= bytes.size()) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    uint32_t total = h[0] | (h[1] << 8);
    if (total == 0) break;
    uint32_t packedSize = h[7] | (h[8] << 8) | (h[9] << 16) | (uint32_t(h[10]) << 24);
    // The file-name extended header (type 1) of the chain.
    std::string file;
    WalkExtendedHeaders(h, kHeaderFirstExtSize, total,
                        [&file](uint8_t type, const uint8_t* data, unsigned length) {
                          if (type == kExtFileName) file.assign(reinterpret_cast<const char*>(data), length);
                        });
    if (file == name) {
      *digit = static_cast<char>(h[5]);
      *originalSize = h[11] | (h[12] << 8) | (h[13] << 16) | (uint32_t(h[14]) << 24);
      *packed = bytes.substr(at + total, packedSize);
      return;
    }
    at += total + packedSize;
  }
  FAIL() << name << " not in " << archive;
}

TEST_F(DecoderTest, FastLoopMatchesTheByteWiseDecoderOnTheFixtures) {
  for (const char* archive : {"fx-lh5.lzh", "fx-lh6.lzh", "fx-lh7.lzh"}) {
    for (const char* name : {"text.txt", "code.bin", "zeros_65536.bin", "pattern_65537.bin"}) {
      char digit = 0;
      std::string packed;
      uint32_t size = 0;
      LoadFixtureEntry(archive, name, &digit, &packed, &size);
      if (digit < '4' || digit > '7') continue;
      MakeEntry(digit, packed, size);
      ExpectSameAsReference((std::string(archive) + " " + name).c_str());
    }
  }
}

// Random blocks with codes of 1 to 16 bits (tree walks in both tables),
// distances over the whole range, and block sizes that end blocks anywhere.
std::string RandomStream(uint32_t seed, char digit, uint32_t* outputSize) {
  std::mt19937 rng(seed);
  const int posCount = (digit == '6' || digit == '7') ? 17 : 14;
  const int posBits = posCount == 17 ? 5 : 4;
  BitWriter w;
  uint32_t total = 0;
  int blocks = 1 + static_cast<int>(rng() % 4);
  for (int b = 0; b < blocks; ++b) {
    std::vector<int> symbols;
    while (symbols.size() < 17) {
      int s = static_cast<int>(rng() % 510);
      if (std::find(symbols.begin(), symbols.end(), s) == symbols.end()) symbols.push_back(s);
    }
    std::shuffle(symbols.begin(), symbols.end(), rng);
    Code chars{SkewedLengths(510, symbols)};
    std::vector<int> positions;
    for (int j = 0; j < posCount; ++j) positions.push_back(j);
    std::shuffle(positions.begin(), positions.end(), rng);
    Code pos{SkewedLengths(static_cast<size_t>(posCount), positions)};
    uint16_t codes = static_cast<uint16_t>(1 + rng() % 40000);
    PutBlockHeader(w, codes, chars, pos, posBits);
    for (uint32_t i = 0; i < codes; ++i) {
      int s = symbols[rng() % symbols.size()];
      chars.Put(w, s);
      if (s < 256) {
        total += 1;
        continue;
      }
      total += static_cast<uint32_t>(s - kMatchSymbolBase);
      int j = static_cast<int>(rng() % posCount);
      uint32_t value = j < 2 ? static_cast<uint32_t>(j)
                             : (1u << (j - 1)) + (rng() & ((1u << (j - 1)) - 1));
      // Often the farthest reach, where bytes just ahead of the output are read.
      if (j == 16 && rng() % 2) value = 65535 - rng() % 10;
      PutPosition(w, pos, value);
    }
  }
  *outputSize = total;
  return w.Bytes();
}

TEST_F(DecoderTest, FastLoopMatchesTheByteWiseDecoderOnRandomStreams) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    char digit = "4567"[seed % 4];
    uint32_t total = 0;
    std::string packed = RandomStream(seed, digit, &total);
    // Stop exactly at the end, inside the last match, and far past the
    // stream's end (zero bits).
    for (uint32_t size : {total, total - 1, total + 70000}) {
      MakeEntry(digit, packed, size);
      ExpectSameAsReference(("seed " + std::to_string(seed) + " size " + std::to_string(size)).c_str());
    }
  }
}

TEST_F(DecoderTest, FastLoopMatchesTheByteWiseDecoderOnEncodedData) {
  for (char digit : {'5', '6', '7'}) {
    for (const std::string& data : {Texty(400000, 5), Pattern(70000, 6), std::string(200000, 'z'),
                                    Texty(90000, 7) + Pattern(30000, 8) + Texty(90000, 7)}) {
      std::vector<uint8_t> packed =
          lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
      ASSERT_FALSE(packed.empty());
      MakeEntry(digit, std::string(packed.begin(), packed.end()), static_cast<uint32_t>(data.size()));
      Result r = Decode();
      EXPECT_TRUE(r.bytes == data) << digit << " " << data.size();
      ExpectSameAsReference("encoded");
    }
  }
}

// ---- the window and its hand-overs ----

TEST_F(DecoderTest, BlockSizeZeroLastsFor65536Codes) {
  BitWriter w;
  PutBlockHeader(w, 0, Code{{}, 'x'}, Code{{}, 0}, 4);
  PutBlockHeader(w, 3, Code{{}, 'y'}, Code{{}, 0}, 4);
  MakeEntry('5', w.Bytes(), 65539);
  Result r = Decode();
  EXPECT_EQ(r.bytes, std::string(65536, 'x') + "yyy");
}

TEST_F(DecoderTest, DistanceZeroRepeatsTheLastByte) {
  BitWriter w;
  PutBlockHeader(w, 1, Code{{}, 'Q'}, Code{{}, 0}, 4);
  PutBlockHeader(w, 1, Code{{}, 256 + 7}, Code{{}, 0}, 4);   // length 10, distance value 0
  MakeEntry('5', w.Bytes(), 11);
  EXPECT_EQ(Decode().bytes, std::string(11, 'Q'));
}

TEST_F(DecoderTest, MatchBeforeTheFirstByteGivesBlanks) {
  // 'a', then 5 bytes from 8 back (before the entry), then 4 bytes from 3
  // back (two blanks and the start of what the first match produced).
  std::vector<int> all;
  for (int j = 0; j < 14; ++j) all.push_back(j);
  Code chars{FlatLengths(510, {'a', 256 + 2, 256 + 1})};
  Code pos{FlatLengths(14, all)};
  BitWriter w;
  PutBlockHeader(w, 3, chars, pos, 4);
  chars.Put(w, 'a');
  chars.Put(w, 256 + 2);
  PutPosition(w, pos, 7);
  chars.Put(w, 256 + 1);
  PutPosition(w, pos, 2);
  MakeEntry('5', w.Bytes(), 10);
  EXPECT_EQ(Decode().bytes, "a" + std::string(9, ' '));

  // A second entry sees blanks again, not the first entry's bytes.
  BitWriter v;
  PutBlockHeader(v, 1, Code{{}, 256}, Code{{}, 13}, 4);   // 3 bytes from far back
  v.Put(12, 0);                                           // the distance's extra bits
  MakeEntry('5', v.Bytes(), 3);
  memset(context->codec.window, 'q', kWindowSize);
  EXPECT_EQ(Decode().bytes, "   ");
}

TEST_F(DecoderTest, MatchIsCopiedWholePastTheOriginalSize) {
  BitWriter w;
  PutBlockHeader(w, 1, Code{{}, 'm'}, Code{{}, 0}, 4);
  PutBlockHeader(w, 1, Code{{}, 256 + 7}, Code{{}, 0}, 4);
  MakeEntry('5', w.Bytes(), 5);
  Result r = Decode();
  EXPECT_EQ(r.bytes, std::string(11, 'm'));
  context->runningCrc = 0;
  EXPECT_EQ(r.crc, UpdateCrc(context, r.bytes.data(), static_cast<int32_t>(r.bytes.size())));
}

TEST_F(DecoderTest, WindowIsHandedOverAt64KAndAtTheEnd) {
  struct Case {
    uint32_t size;
    std::vector<std::string> progress;
  };
  // 65536: once, inside the loop, with the whole entry done; 65537: the full
  // window and then one byte; 200000: three windows and the rest.
  const Case cases[] = {
      {65536, {ProgressText(100)}},
      {65537, {ProgressText(100), ProgressText(100)}},
      {200000, {ProgressText(32), ProgressText(65), ProgressText(98), ProgressText(100)}},
      {0, {}},
  };
  for (const Case& c : cases) {
    BitWriter w;
    for (uint32_t left = c.size; left > 0;) {
      uint32_t n = left > 60000 ? 60000 : left;
      PutBlockHeader(w, static_cast<uint16_t>(n), Code{{}, 'k'}, Code{{}, 0}, 4);
      left -= n;
    }
    w.Put(16, 0xFFFF);   // a few bytes even for the empty entry
    MakeEntry('5', w.Bytes(), c.size);
    Result r = Decode();
    EXPECT_EQ(r.bytes, std::string(c.size, 'k')) << c.size;
    EXPECT_EQ(r.progress, c.progress) << c.size;
  }
}

TEST_F(DecoderTest, EmptyEntryStillStartsTheBitInput) {
  MakeEntry('5', "\x12\x34\x56\x78\x9a", 0);
  Result r = Decode();
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_TRUE(r.progress.empty());
  EXPECT_EQ(r.reads, std::vector<uint32_t>({5}));
  EXPECT_EQ(context->codec.bitBuffer, 0x1234);
}

TEST_F(DecoderTest, MemoryTargetsGetNoProgress) {
  BitWriter w;
  PutBlockHeader(w, 0, Code{{}, 'n'}, Code{{}, 0}, 4);
  PutBlockHeader(w, 10, Code{{}, 'o'}, Code{{}, 0}, 4);
  MakeEntry('5', w.Bytes(), 65546);
  RewindEntry();
  context->outputHandle = kMemoryMarker;
  context->memoryTarget = kMemoryNotice;
  context->codec.readIndex = 0xFFFFFFFFu;
  DecodeCurrent();
  EXPECT_TRUE(scripted::ControlTextHistory(IDC_PROGRESS).empty());
  EXPECT_EQ(std::string(context->messageText), std::string(10, 'o'));
}

TEST_F(DecoderTest, StreamThatEndsEarlyStopsAtTheFirstSymbolPastItsData) {
  std::string data = Texty(300000, 11);
  for (char digit : {'5', '6', '7'}) {
    SCOPED_TRACE(digit);
    std::vector<uint8_t> packed =
        lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
    std::string half(packed.begin(), packed.begin() + packed.size() / 2);
    MakeEntry(digit, half, static_cast<uint32_t>(data.size()));
    Result r = Decode();
    EXPECT_TRUE(r.overrun);
    EXPECT_LT(r.bytes.size(), data.size());
    // What came out before the stop is the data's own beginning.
    EXPECT_TRUE(r.bytes.size() > 1000 && data.compare(0, r.bytes.size(), r.bytes) == 0);
    EXPECT_EQ(r.position, half.size());   // the trailing bytes were never read
    ExpectSameAsReference("half stream");
  }
}

TEST_F(DecoderTest, AnOriginalSizeFarBeyondTheDataEndsWithTheData) {
  std::string data = Texty(20000, 21);
  for (char digit : {'6', '7'}) {
    for (uint32_t claimed : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::string(1, digit) + " " + std::to_string(claimed));
      std::vector<uint8_t> packed =
          lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
      MakeEntry(digit, std::string(packed.begin(), packed.end()), claimed);
      Result r = Decode();
      EXPECT_TRUE(r.overrun);
      // The whole data, and nothing decoded from the zeros after it.
      EXPECT_TRUE(r.bytes == data) << r.bytes.size();
      ExpectSameAsReference("claimed size");
    }
  }
}

TEST_F(DecoderTest, ValidStreamsNeverOverrun) {
  for (char digit : {'5', '7'}) {
    std::string data = Texty(150000, 23) + Pattern(5000, 3);
    std::vector<uint8_t> packed =
        lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
    MakeEntry(digit, std::string(packed.begin(), packed.end()), static_cast<uint32_t>(data.size()));
    Result r = Decode();
    EXPECT_FALSE(r.overrun);
    EXPECT_TRUE(r.bytes == data);
  }
}

TEST_F(DecoderTest, LongEntryReadsIn16KBlocksUpToItsEnd) {
  std::string data = Pattern(30000, 12) + Texty(200000, 13);
  std::vector<uint8_t> packed =
      lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), '6');
  MakeEntry('6', std::string(packed.begin(), packed.end()), static_cast<uint32_t>(data.size()));
  Result r = Decode();
  ASSERT_TRUE(r.bytes == data);
  std::vector<uint32_t> expected(packed.size() / 16384, 16384);
  if (packed.size() % 16384) expected.push_back(static_cast<uint32_t>(packed.size() % 16384));
  EXPECT_EQ(r.reads, expected);
  EXPECT_EQ(r.position, packed.size());
}

// ---- the stored copy ----

TEST_F(DecoderTest, StoredEntryIsCopiedIn64KChunks) {
  std::string data = Pattern(100000, 14);
  MakeEntry('0', data, 100000);
  Result r = Run([] { CopyStored(&context->codec, 100000); });
  EXPECT_TRUE(r.bytes == data);
  EXPECT_EQ(r.reads, std::vector<uint32_t>({65536, 34464}));
  EXPECT_EQ(r.progress, std::vector<std::string>({ProgressText(65), ProgressText(100)}));
  EXPECT_EQ(r.position, 100000u);
  context->runningCrc = 0;
  EXPECT_EQ(r.crc, UpdateCrc(context, data.data(), 100000));

  Result none = Run([] { CopyStored(&context->codec, 0); });
  EXPECT_TRUE(none.bytes.empty());
  EXPECT_TRUE(none.reads.empty());
  EXPECT_TRUE(none.progress.empty());
}

// ---- failures come back to the caller ----

TEST_F(DecoderTest, FailuresComeBackWithWhatWasHandedOverBeforeThem) {
  std::string data = Texty(600000, 15);
  std::vector<uint8_t> packed =
      lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), '5');
  ASSERT_GT(packed.size(), 3u * 16384);
  // A second block whose one-value character code is 511, no symbol.
  BitWriter bad;
  PutBlockHeader(bad, 2, Code{{}, 'b'}, Code{{}, 0}, 4);
  bad.Put(16, 1);
  bad.Put(5, 0);
  bad.Put(5, 0);
  bad.Put(9, 0);
  bad.Put(9, 511);
  struct Case {
    const char* what;
    char digit;
    std::string packed;
    uint32_t size;
    int64_t readsBefore;   // bytes read before reads fail; negative: never
    int pumpCancel;        // the progress report at which Cancel is pressed; 0: never
    DecodeResult result;
    std::string whole;     // what the entry would give
    size_t handedOver;     // bytes in the output file; 0: whole windows, fewer than all
  } cases[] = {
      {"read error while decoding", '5', std::string(packed.begin(), packed.end()),
       static_cast<uint32_t>(data.size()), 2 * 16384, 0, kDecodeReadError, data, 0},
      {"read error while copying", '0', Pattern(100000, 16), 100000, 70000, 0, kDecodeReadError,
       Pattern(100000, 16), 65536},
      {"bad table in the second block", '5', bad.Bytes(), 10, -1, 0, kDecodeBadTable, "", 0},
      {"Cancel at the second hand-over", '5', std::string(packed.begin(), packed.end()),
       static_cast<uint32_t>(data.size()), -1, 2, kDecodeStopped, data, 2 * 65536},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeEntry(c.digit, c.packed, c.size);
    Result r = Run([&c] {
      hostplatform::FailReadsAfter(c.readsBefore);
      if (c.pumpCancel != 0) {
        context->cancelRequested = 0;
        scripted::QueuePumpCommand(c.pumpCancel, IDC_CANCEL);
        context->extracting = 1;
      }
      EXPECT_EQ(c.digit == '0' ? CopyStored(&context->codec, static_cast<int32_t>(c.size)) : DecodeCurrent(),
                c.result);
    });
    if (c.handedOver != 0) {
      EXPECT_EQ(r.bytes.size(), c.handedOver);
    } else {
      EXPECT_EQ(r.bytes.size() % kWindowSize, 0u);
      EXPECT_LT(r.bytes.size(), c.size);
    }
    EXPECT_EQ(c.whole.compare(0, r.bytes.size(), r.bytes), 0);
    EXPECT_TRUE(scripted::Boxes().empty());   // the caller tells the user
  }
}

// ---- the caller's own state and input ----

// Collects what a state's sink is handed; with nested set, the first
// hand-over first decodes another entry in a state of its own.
struct Collected {
  std::string bytes;
  std::function<void()> nested;
};

int Collect(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t) {
  Collected* out = static_cast<Collected*>(state->sinkData);
  if (out->nested) {
    auto nested = out->nested;
    out->nested = nullptr;
    nested();
  }
  out->bytes.append(reinterpret_cast<const char*>(data), count);
  return 1;
}

struct OwnDecode {
  std::unique_ptr<DecodeState> state{new DecodeState()};
  MemoryInput input{};
  Collected out;
  DecodeResult Run(const std::string& packed, char digit, uint32_t size, uint32_t claimed) {
    input = {reinterpret_cast<const uint8_t*>(packed.data()), static_cast<uint32_t>(packed.size()),
             0};
    state->input = MemorySource(&input);
    state->readIndex = kReadBufferEmpty;
    state->sink = Collect;
    state->sinkData = &out;
    return digit == '0' ? CopyStored(state.get(), static_cast<int32_t>(size))
                        : DecodeEntry(state.get(), digit, claimed, size);
  }
};

TEST(DecoderOwnState, DecodesFromMemoryWithoutTheRunsRecord) {
  std::string text = Texty(300000, 21);
  std::string binary = Pattern(150000, 22);
  auto encode = [](const std::string& data, char digit) {
    std::vector<uint8_t> v =
        lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
    return std::string(v.begin(), v.end());
  };
  std::string text5 = encode(text, '5');
  std::string binary7 = encode(binary, '7');
  const uint32_t textSize = static_cast<uint32_t>(text.size());
  const uint32_t binarySize = static_cast<uint32_t>(binary.size());
  struct Case {
    const char* what;
    std::string packed;
    char digit;
    uint32_t size;
    uint32_t claimed;       // compressed bytes the entry claims
    DecodeResult result;
    std::string expected;   // what the sink gets (a prefix when it fails)
    uint32_t consumed;      // bytes taken from the input (a short read takes the rest)
  } cases[] = {
      {"-lh5-", text5, '5', textSize, static_cast<uint32_t>(text5.size()), kDecodeDone, text,
       static_cast<uint32_t>(text5.size())},
      {"-lh7-", binary7, '7', binarySize, static_cast<uint32_t>(binary7.size()), kDecodeDone,
       binary, static_cast<uint32_t>(binary7.size())},
      {"stored", binary, '0', binarySize, binarySize, kDecodeDone, binary, binarySize},
      {"the entry claims more than the buffer holds", text5, '5', textSize,
       static_cast<uint32_t>(text5.size()) + 40000, kDecodeReadError, text,
       static_cast<uint32_t>(text5.size())},
      {"a stored copy past the buffer's end", binary.substr(0, 100000), '0', binarySize,
       binarySize, kDecodeReadError, binary.substr(0, 65536), 100000},
  };
  // Any use of the run's record would fault.
  ExtractContext* saved = context;
  context = nullptr;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OwnDecode d;
    EXPECT_EQ(d.Run(c.packed, c.digit, c.size, c.claimed), c.result);
    if (c.result == kDecodeDone) {
      EXPECT_TRUE(d.out.bytes == c.expected);
    } else {
      EXPECT_LT(d.out.bytes.size(), c.size);
      EXPECT_EQ(c.expected.compare(0, d.out.bytes.size(), d.out.bytes), 0);
    }
    EXPECT_EQ(d.input.position, c.consumed);
  }
  context = saved;
}

TEST(DecoderOwnState, TwoStatesDecodeOneInsideTheOther) {
  std::string first = Texty(200000, 23);
  std::string second = Texty(150000, 24) + Pattern(20000, 25);
  std::vector<uint8_t> a =
      lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(first.data()), first.size(), '6');
  std::vector<uint8_t> b =
      lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(second.data()), second.size(), '5');
  std::string packedA(a.begin(), a.end()), packedB(b.begin(), b.end());
  OwnDecode outer, inner;
  DecodeResult innerResult = kDecodeStopped;
  // In the middle of the first entry, at its first hand-over, the whole of
  // the second one: the first must go on where it was.
  outer.out.nested = [&] {
    innerResult = inner.Run(packedB, '5', static_cast<uint32_t>(second.size()),
                            static_cast<uint32_t>(packedB.size()));
  };
  EXPECT_EQ(outer.Run(packedA, '6', static_cast<uint32_t>(first.size()),
                      static_cast<uint32_t>(packedA.size())),
            kDecodeDone);
  EXPECT_EQ(innerResult, kDecodeDone);
  EXPECT_TRUE(outer.out.bytes == first);
  EXPECT_TRUE(inner.out.bytes == second);
}

}  // namespace
