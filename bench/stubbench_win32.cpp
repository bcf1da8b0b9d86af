// The decoder our users run: the stub's own core and Win32 platform code,
// compiled with the stub's options, timing DecodeEntry in process under
// Windows (or Wine). The samples are bench_decoder's, written by
//   bench_decoder --write-samples DIR
// and the figures are printed in bench_decoder's form, so the two can be
// set side by side.
//
//   stubbench.exe DIR [--check]
//
// --check decodes every sample once into the file sink and checks its CRC,
// with no timing: the i686 decoder's correctness under emulation, where its
// times mean nothing.
//
// Two sinks, as on the host: "memory" drops the bytes (the decoder alone),
// "file" writes them to a file in DIR with the CRC, as the stub's sink does.
// The platform seam names some functions as Windows does, so this file keeps
// to the C and C++ libraries (whose steady clock is the performance counter);
// the same file, over the POSIX platform, is the i386 Linux harness of
// bench/decoder_instructions.sh. Windows takes "/" in paths as "\\".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "decode/decode.h"
#include "platform/platform.h"

namespace {

// The sink's own: the output (a file, or kMemoryMarker for none) and the CRC.
struct Output {
  FileHandle file;
  uint16_t crc;
  CrcTables tables;
};

// The stub's file sink: one write per hand-over, then the CRC over it.
int ToOutput(DecodeState* state, const uint8_t* data, uint32_t count, uint32_t) {
  Output* out = static_cast<Output*>(state->sinkData);
  if (out->file == kMemoryMarker) return 1;
  uint32_t written = 0;
  if (!WriteToFile(out->file, data, count, &written) || written != count) return 0;
  out->crc = FoldCrc(&out->tables, out->crc, data, count);
  return 1;
}

constexpr double kMinSeconds = 0.5;   // per sample and sink
constexpr int kMinRuns = 3;
constexpr int kMaxRuns = 1000;

constexpr size_t kPathCap = 260;

double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

int CompareDoubles(const void* a, const void* b) {
  double x = *static_cast<const double*>(a), y = *static_cast<const double*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// Median seconds of one decode of the sample's data into sink.
double TimeDecode(DecodeState* state, FileHandle archive, FileHandle sink, char digit,
                  uint32_t packed, uint32_t original, int* runs, bool once) {
  Output* out = static_cast<Output*>(state->sinkData);
  static double seconds[kMaxRuns];
  int n = 0;
  double total = 0;
  while (n < kMaxRuns && (n < kMinRuns || total < kMinSeconds) && !(once && n == 1)) {
    uint32_t at = 0;
    SeekFile(archive, 0, &at);
    if (sink != kMemoryMarker) SeekFile(sink, 0, &at);
    out->file = sink;
    out->crc = 0;
    state->input = ByteSource{ReadFromFile, archive};
    state->readIndex = kReadBufferEmpty;
    double start = Now();
    DecodeEntry(state, digit, packed, original);
    seconds[n] = Now() - start;
    total += seconds[n++];
  }
  qsort(seconds, static_cast<size_t>(n), sizeof seconds[0], CompareDoubles);
  *runs = n;
  return seconds[n / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && strcmp(argv[2], "--check") == 0;
  if (argc != 2 && !check) {
    fprintf(stderr, "usage: stubbench.exe DIR [--check]   (DIR from bench_decoder --write-samples DIR)\n");
    return 2;
  }
  char path[kPathCap];
  snprintf(path, sizeof path, "%s/samples.txt", argv[1]);
  FILE* index = fopen(path, "r");
  if (index == nullptr) {
    fprintf(stderr, "stubbench: cannot read %s\n", path);
    return 1;
  }
  char outPath[kPathCap];
  snprintf(outPath, sizeof outPath, "%s/stubbench.out", argv[1]);
  DecodeState* state = static_cast<DecodeState*>(AllocZeroed(sizeof(DecodeState)));
  Output* output = static_cast<Output*>(AllocZeroed(sizeof(Output)));
  FileHandle file = CreateForWrite(outPath);
  if (state == nullptr || output == nullptr || file == 0) {
    fprintf(stderr, "stubbench: cannot set up (%s)\n", outPath);
    return 1;
  }
  FillCrcTables(&output->tables, kCrcPolynomial);
  state->sink = ToOutput;
  state->sinkData = output;
  printf("%-52s %12s %10s %s\n", "Benchmark", "Time", "Iterations", "UserCounters...");
  int status = 0;
  char line[512], name[256], dataFile[256];
  while (fgets(line, sizeof line, index) != nullptr) {
    char digit = 0;
    unsigned long original = 0, packed = 0;
    unsigned crc = 0;
    if (sscanf(line, "%255s %c %lu %lu %u %255s", dataFile, &digit, &original, &packed, &crc,
               name) != 6)
      continue;
    snprintf(path, sizeof path, "%s/%s", argv[1], dataFile);
    FileHandle archive = OpenExistingForRead(path);
    if (archive == 0) {
      fprintf(stderr, "stubbench: cannot read %s\n", path);
      status = 1;
      continue;
    }
    const FileHandle sinks[] = {kMemoryMarker, file};
    for (FileHandle sink : sinks) {
      if (check && sink != file) continue;
      int runs = 0;
      double seconds = TimeDecode(state, archive, sink, digit, static_cast<uint32_t>(packed),
                                  static_cast<uint32_t>(original), &runs, check);
      // The file sink runs the CRC: a wrong one is a wrong decoder, not a figure.
      if (sink == file && output->crc != crc) {
        fprintf(stderr, "stubbench: %s decodes to CRC %04X, not %04X\n", name, output->crc, crc);
        status = 1;
      }
      char label[320];
      snprintf(label, sizeof label, "DecodeEntry/%s/%s", name, sink == file ? "file" : "memory");
      printf("%-52s %9.2f ms %10d bytes_per_second=%.1fM/s ratio=%.3f\n", label, seconds * 1e3,
             runs, static_cast<double>(original) / seconds / (1024.0 * 1024.0),
             static_cast<double>(packed) / static_cast<double>(original));
      fflush(stdout);
    }
    CloseFile(archive);
  }
  fclose(index);
  CloseFile(file);
  remove(outPath);
  return status;
}
