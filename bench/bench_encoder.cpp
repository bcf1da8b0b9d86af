// Encoder speed and size on the fixture files against the sizes the
// independent archiver stored in the fixture archives, plus generated text.
//   bench_encoder --benchmark_counters_tabular=true
// Times are wall-clock (bytes_per_second too); the CPU column is the whole
// process's, helper threads included. The last argument is the thread count
// (0: the encoder's default, one per processor).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/context.h"
#include "core/text.h"
#include "decode/decode.h"
#include "encoder.h"
#include "core/little_endian.h"
#include "lzh_writer.h"
#include "platform/platform.h"

namespace {

struct FixtureFile {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t packed[8] = {};   // fixture's stored size per method digit
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> v;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

// The entry's contents through the stub's own decoder.
std::vector<uint8_t> DecodeWithStub(const std::vector<uint8_t>& archive, size_t at) {
  std::string in = "/tmp/bench_encoder_in." + std::to_string(getpid());
  std::string out = in + ".out";
  FILE* f = fopen(in.c_str(), "wb");
  fwrite(archive.data() + at, 1, archive.size() - at, f);
  fclose(f);
  ExtractContext* c = static_cast<ExtractContext*>(AllocZeroed(sizeof(ExtractContext)));
  CopyText(c->ownPath, in.c_str(), kOwnPathCap);
  c->archiveHandle = OpenExistingForRead(in.c_str());
  MakeCrcTable(c, kCrcPolynomial);
  std::vector<uint8_t> result;
  if (ReadEntryHeader(c) == kHeaderValid) {
    c->outputHandle = CreateForWrite(out.c_str());
    c->codec.sink = StoreToRecord;
    c->codec.sinkData = c;
    RunEntryData(c);
    CloseFile(c->outputHandle);
    result = ReadFile(out);
  }
  ReleaseEntryHeader(c);
  CloseFile(c->archiveHandle);
  FreeMemory(c);
  unlink(in.c_str());
  unlink(out.c_str());
  return result;
}

std::vector<FixtureFile>& Fixtures() {
  static std::vector<FixtureFile> files;
  if (!files.empty()) return files;
  for (int digit : {5, 6, 7}) {
    std::string path = std::string(SFX_FIXTURES_DIR) + "/fx-lh" +
                       std::to_string(digit) + ".lzh";
    std::vector<uint8_t> a = ReadFile(path);
    size_t at = 0, index = 0;
    while (at + 26 <= a.size() && ReadLE16(&a[at]) != 0) {
      uint16_t hs = ReadLE16(&a[at]);
      uint32_t packed = ReadLE32(&a[at + 7]), size = ReadLE32(&a[at + 11]);
      char method = static_cast<char>(a[at + 5]);
      if (method != 'd' && size > 0) {
        if (digit == 5) {
          FixtureFile f;
          f.name = "file" + std::to_string(index);
          f.data = method == '0' ? std::vector<uint8_t>(a.begin() + at + hs,
                                                        a.begin() + at + hs + packed)
                                 : DecodeWithStub(a, at);
          files.push_back(f);
        }
        // The three archives hold the same files in the same order.
        if (index < files.size()) files[index].packed[digit] = packed;
        ++index;
      }
      at += hs + packed;
    }
  }
  return files;
}

lzhenc::EncoderOptions WithThreads(int64_t threads) {
  lzhenc::EncoderOptions o;
  o.threads = static_cast<int>(threads);
  return o;
}

std::string ThreadLabel(int64_t threads) {
  return threads == 0 ? "" : ", " + std::to_string(threads) + " thread" + (threads == 1 ? "" : "s");
}

void BM_EncodeFixture(benchmark::State& state) {
  const FixtureFile& f = Fixtures()[static_cast<size_t>(state.range(0))];
  int digit = static_cast<int>(state.range(1));
  const lzhenc::EncoderOptions o = WithThreads(state.range(2));
  size_t size = 0;
  for (auto _ : state) {
    std::vector<uint8_t> p = lzhenc::EncodeLzh(f.data.data(), f.data.size(), digit, o, nullptr);
    size = std::min(p.size(), f.data.size());  // stored when not smaller
    benchmark::DoNotOptimize(p.data());
  }
  state.SetLabel(f.name + " lh" + std::to_string(digit) + ThreadLabel(state.range(2)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.data.size()));
  state.counters["input"] = static_cast<double>(f.data.size());
  state.counters["ours"] = static_cast<double>(size);
  state.counters["fixture"] = f.packed[digit];
  state.counters["vs_fixture_%"] =
      f.packed[digit] ? 100.0 * (static_cast<double>(size) - f.packed[digit]) / f.packed[digit] : 0;
}

// Encodes every fixture file with the options and reports the totals the
// goals are stated for.
void EncodeAllFixtures(benchmark::State& state, int digit, const lzhenc::EncoderOptions& o,
                       const std::string& label) {
  uint64_t input = 0, ours = 0, theirs = 0;
  for (auto _ : state) {
    input = ours = theirs = 0;
    for (const FixtureFile& f : Fixtures()) {
      std::vector<uint8_t> p = lzhenc::EncodeLzh(f.data.data(), f.data.size(), digit, o, nullptr);
      input += f.data.size();
      ours += std::min(p.size(), f.data.size());
      theirs += f.packed[digit];
    }
  }
  state.SetLabel("all fixture files lh" + std::to_string(digit) + label);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input));
  state.counters["input"] = static_cast<double>(input);
  state.counters["ours"] = static_cast<double>(ours);
  state.counters["fixture"] = static_cast<double>(theirs);
  state.counters["vs_fixture_%"] = 100.0 * (static_cast<double>(ours) - theirs) / theirs;
}

// All fixture files at once, with the default finder.
void BM_EncodeAllFixtures(benchmark::State& state) {
  EncodeAllFixtures(state, static_cast<int>(state.range(0)), WithThreads(state.range(1)),
                    ThreadLabel(state.range(1)));
}

// The binary-tree finder on the same files: the deeper, slower alternative.
void BM_EncodeAllFixturesTree(benchmark::State& state) {
  lzhenc::EncoderOptions o;
  o.treeSearch = true;
  o.chainDepth = 16;
  EncodeAllFixtures(state, static_cast<int>(state.range(0)), o, ", tree search");
}

void BM_EncodeGeneratedText(benchmark::State& state) {
  static const char* words[] = {"entry ", "header ", "block ", "table ", "match\r\n", "code "};
  std::mt19937 rng(1);
  std::vector<uint8_t> v;
  while (v.size() < 4u << 20) {
    const char* w = words[rng() % 6];
    v.insert(v.end(), w, w + strlen(w));
  }
  size_t size = 0;
  for (auto _ : state) size = lzhenc::EncodeLzh(v.data(), v.size(), 7).size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.size()));
  state.counters["ours"] = static_cast<double>(size);
}

void FixtureArgs(benchmark::internal::Benchmark* b) {
  for (size_t i = 0; i < Fixtures().size(); ++i)
    for (int digit : {5, 7}) b->Args({static_cast<int64_t>(i), digit, 0});
}

}  // namespace

BENCHMARK(BM_EncodeFixture)->Apply(FixtureArgs)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_EncodeAllFixtures)->ArgsProduct({{5, 7}, {1, 0}})->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_EncodeAllFixturesTree)->Arg(5)->Arg(7)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_EncodeGeneratedText)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_MAIN();
