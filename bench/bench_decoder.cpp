// Output rate of the block decoder (DecodeEntry) in MB/s, on the compressed
// entries of the fixture archives and on a generated corpus of text-like and
// binary data (compressed once with the builder's encoder and cached in the
// temporary directory).
//
// Two sinks: "memory" drops the bytes (the decoder alone, as for the notice
// and the script), "file" writes them to /dev/null with the CRC and the
// progress report, as an extraction does.
//
//   build/<dir>/bench/bench_decoder [--benchmark_filter=...]
//   build/<dir>/bench/bench_decoder --write-samples DIR
// The second form writes every sample's compressed data and an index
// (samples.txt) to DIR for the stub's own benchmark (stubbench.exe), and
// runs nothing.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/context.h"
#include "decode/decode.h"
#include "platform/platform.h"
#include "encoder.h"
#include "lzh_writer.h"

namespace {

struct Sample {
  std::string name;
  char digit;
  std::string packed;
  uint32_t originalSize;
  uint16_t crc;   // of the original data
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The compressed entries of one fixture archive (level-2 headers).
void AddFixtureEntries(const std::string& archive, std::vector<Sample>* samples) {
  std::string bytes = ReadFile(std::string(SFX_FIXTURES_DIR) + "/" + archive);
  size_t at = 0;
  while (at + 26 <= bytes.size()) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    uint32_t total = h[0] | (h[1] << 8);
    if (total == 0 || at + total > bytes.size()) break;
    uint32_t packed = Le32(h + 7);
    std::string file;
    for (uint32_t ext = 24; ext + 2 <= total;) {
      uint32_t size = h[ext] | (h[ext + 1] << 8);
      if (size < 3 || ext + 2 + size > total) break;
      if (h[ext + 2] == 1) file.assign(reinterpret_cast<const char*>(h + ext + 3), size - 3);
      ext += size;
    }
    char digit = static_cast<char>(h[5]);
    if (digit >= '4' && digit <= '7' && Le32(h + 11) >= 4096 && at + total + packed <= bytes.size()) {
      samples->push_back({archive.substr(3, 3) + "/" + file, digit,
                          bytes.substr(at + total, packed), Le32(h + 11),
                          static_cast<uint16_t>(h[21] | (h[22] << 8))});
    }
    at += total + packed;
  }
}

// Text-like: words of a Zipf-distributed vocabulary in lines, with numbers
// and some Shift-JIS, like documentation and sources.
std::string MakeText(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> vocabulary;
  const char* letters = "etaoinshrdlcumwfgypbvkjxqz";
  for (int i = 0; i < 4000; ++i) {
    std::string word;
    int len = 2 + static_cast<int>(rng() % 9);
    for (int k = 0; k < len; ++k) word.push_back(letters[std::min<uint32_t>(rng() % 26, rng() % 26)]);
    if (i % 50 == 0) word = "\x8e\xa9\x93\xae\x89\xf0\x93\x80";
    vocabulary.push_back(word);
  }
  std::vector<double> weights(vocabulary.size());
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 / static_cast<double>(i + 1);
  std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
  std::string out;
  out.reserve(size + 100);
  int column = 0;
  while (out.size() < size) {
    if (rng() % 40 == 0) {
      out += std::to_string(rng() % 100000);
    } else {
      out += vocabulary[pick(rng)];
    }
    column += 8;
    if (column > 70) {
      out += rng() % 5 == 0 ? ".\r\n\r\n" : "\r\n";
      column = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(size);
  return out;
}

// Binary: records of little-endian fields, tables of growing offsets, code-
// like byte patterns with repeats, zero padding and some noise.
std::string MakeBinary(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size + 1024);
  uint32_t offset = 0x401000;
  const uint8_t ops[] = {0x8b, 0x89, 0x55, 0xe8, 0xc3, 0x83, 0xff, 0x50, 0x6a, 0x74, 0x75, 0x0f};
  while (out.size() < size) {
    switch (rng() % 5) {
      case 0:   // a table of offsets
        for (int i = 0; i < 64; ++i) {
          offset += 4 + rng() % 60;
          for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(offset >> (8 * k)));
        }
        break;
      case 1:   // zero padding
        out.append(16 * (1 + rng() % 32), '\0');
        break;
      case 2:   // noise
        for (int i = 0; i < 200; ++i) out.push_back(static_cast<char>(rng()));
        break;
      case 3:   // a repeat of something earlier
        if (out.size() > 1000) {
          size_t back = 1 + rng() % std::min<size_t>(out.size() - 1, 60000);
          size_t len = 8 + rng() % 200;
          size_t from = out.size() - back;
          for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
        }
        break;
      default:   // code-like bytes
        for (int i = 0; i < 300; ++i) {
          out.push_back(static_cast<char>(rng() % 3 ? ops[rng() % sizeof ops] : rng()));
        }
        break;
    }
  }
  out.resize(size);
  return out;
}

// Compressed once; kept in the temporary directory for the next run.
void AddCorpus(const std::string& name, char digit, const std::string& (*make)(),
               std::vector<Sample>* samples) {
  const std::string& data = make();
  std::string cache = (std::filesystem::temp_directory_path() /
                       ("sfx-bench-v1-" + name + "-lh" + digit + ".bin"))
                          .string();
  std::string packed = ReadFile(cache);
  if (packed.empty()) {
    fprintf(stderr, "bench_decoder: compressing %s (%zu bytes) with -lh%c-, once...\n",
            name.c_str(), data.size(), digit);
    std::vector<uint8_t> out =
        lzhenc::EncodeLzh(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digit);
    packed.assign(out.begin(), out.end());
    WriteFile(cache, packed);
  }
  samples->push_back({"corpus-" + name + "/lh" + std::string(1, digit), digit, packed,
                      static_cast<uint32_t>(data.size()),
                      lzhw::Crc16(reinterpret_cast<const uint8_t*>(data.data()), data.size())});
}

const std::string& TextCorpus() {
  static const std::string data = MakeText(32u << 20, 1);
  return data;
}
const std::string& BinaryCorpus() {
  static const std::string data = MakeBinary(24u << 20, 2);
  return data;
}

// The entry's data at the start of a file of its own.
std::string EntryFile(const Sample& s) {
  std::string path = (std::filesystem::temp_directory_path() / "sfx-bench-entry.bin").string();
  WriteFile(path, s.packed);
  return path;
}

void RunDecoder(benchmark::State& state, const Sample* sample, bool toFile) {
  std::string archive = EntryFile(*sample);
  // The stub's record, of this benchmark's own: its sink, its CRC, its codec.
  ExtractContext* record = static_cast<ExtractContext*>(AllocZeroed(sizeof(ExtractContext)));
  FillCrcTables(&record->crc, kCrcPolynomial);
  FileHandle input = OpenExistingForRead(archive.c_str());
  FileHandle sink = toFile ? CreateForWrite("/dev/null") : kMemoryMarker;
  record->memoryTarget = kMemoryNone;
  DecodeState* codec = &record->codec;
  codec->sink = StoreToRecord;
  codec->sinkData = record;
  for (auto _ : state) {
    uint32_t at = 0;
    SeekFile(input, 0, &at);
    record->outputHandle = sink;
    record->runningCrc = 0;
    codec->input = ByteSource{ReadFromFile, input};
    codec->readIndex = kReadBufferEmpty;
    DecodeEntry(codec, sample->digit, static_cast<uint32_t>(sample->packed.size()),
                sample->originalSize);
    benchmark::DoNotOptimize(record->runningCrc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sample->originalSize);
  state.counters["ratio"] = static_cast<double>(sample->packed.size()) / sample->originalSize;
  CloseFile(input);
  if (toFile) CloseFile(sink);
  FreeMemory(record);
}

// One line per sample: data file, method digit, original and compressed
// size, CRC of the original, name (no blanks in any of them).
int WriteSamples(const std::vector<Sample>& samples, const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::string index;
  for (size_t i = 0; i < samples.size(); ++i) {
    const Sample& s = samples[i];
    std::string file = "sample" + std::to_string(i) + ".bin";
    WriteFile(dir + "/" + file, s.packed);
    index += file + " " + s.digit + " " + std::to_string(s.originalSize) + " " +
             std::to_string(s.packed.size()) + " " + std::to_string(s.crc) + " " + s.name + "\n";
  }
  WriteFile(dir + "/samples.txt", index);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static std::vector<Sample> samples;
  for (const char* archive : {"fx-lh5.lzh", "fx-lh6.lzh", "fx-lh7.lzh"}) {
    AddFixtureEntries(archive, &samples);
  }
  for (char digit : {'5', '7'}) {
    AddCorpus("text", digit, TextCorpus, &samples);
    AddCorpus("binary", digit, BinaryCorpus, &samples);
  }
  if (argc == 3 && strcmp(argv[1], "--write-samples") == 0) return WriteSamples(samples, argv[2]);
  benchmark::Initialize(&argc, argv);
  for (const Sample& s : samples) {
    for (bool toFile : {false, true}) {
      benchmark::RegisterBenchmark(
          ("DecodeEntry/" + s.name + (toFile ? "/file" : "/memory")).c_str(),
          [&s, toFile](benchmark::State& state) { RunDecoder(state, &s, toFile); })
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
