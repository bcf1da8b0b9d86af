// LZSS + static Huffman compression in the -lh5- / -lh6- / -lh7- stream format.
//
//   std::vector<uint8_t> packed = lzhenc::EncodeLzh(data, size, 7);
//
// methodDigit is 5, 6 or 7 (or the characters '5', '6', '7'): the dictionary
// is 8 KB, 32 KB or 64 KB (14 position codes for 5, 17 for 6 and 7). The result
// is the entry's compressed data, a stream of blocks (each with its 16-bit code
// count, then its three code-length tables, then its codes, MSB first), padded
// with zero bits to the next byte. It decodes back to exactly `size` bytes.
// An empty input, or a method digit other than those three, gives an empty
// result. The caller decides whether to store the entry instead (when the
// result is not smaller than the input).
//
// Parsing: matches of 3 to 256 bytes from hash chains over 4-, 8- and 16-byte
// contexts plus the latest 3-byte string (or, with treeSearch, a binary-tree
// match finder); each block is parsed optimally (shortest path) under a
// bit-cost model from the previous block's code lengths (the first block's
// model comes from a greedy parse of its own matches).
//
// Threads: the matches of each chunk of the input are found on their own (a
// chunk's finder starts a dictionary before it), by whichever thread is free,
// while the calling thread parses and writes the blocks in order. The result
// depends on the input and the options only, never on the thread count.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "core/lzh_format.h"

namespace lzhenc {

enum : int { kMaxBlockCodes = (1 << kBlockCountBits) - 1 };

// Knobs, mainly for benchmarks and tests; the defaults are what the builder uses.
struct EncoderOptions {
  bool treeSearch = false;    // binary-tree matches (slower, deeper) instead of hash chains
  int chainDepth = 3;         // chain steps per context length (half for the shortest), or
                              // tree nodes visited per position
  int niceLength = 32;        // from a match this long, the positions it covers are not searched
  int parsePasses = 1;        // optimal-parse passes per block
  uint32_t segmentBytes = 131072;  // input bytes parsed per block (before the code cap), in
                                   // whole chunks, at least one
  uint32_t maxBlockCodes = kMaxBlockCodes;
  uint32_t chunkBytes = 0;    // input bytes per match-finding chunk (0: 32 KB, 256 KB for the
                              // tree, which inserts the dictionary before every chunk)
  int threads = 0;            // threads finding matches, the caller's included (0: one per
                              // processor, up to 4); changes the speed, never the bytes
};

// What the encoder wrote, block by block; for tests and measurement.
struct BlockTrace {
  uint32_t codes = 0;       // literals + matches in the block
  uint32_t inputBytes = 0;
  std::vector<uint8_t> charLengths;    // 510
  std::vector<uint8_t> lengthLengths;  // 19
  std::vector<uint8_t> posLengths;     // 14 or 17
};

// Presets from fast to small: 1 short chains (about three times the default's
// speed, near the size of other archivers' output), 2 the default, 3 deeper
// chains and two parse passes, 4 the binary-tree finder searched deeply.
// Levels outside 1..4 give the default.
EncoderOptions LevelOptions(int level);

std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit);

struct StreamState;

// The same stream made part by part, so that an input of any size needs
// memory for one part only. Each part comes with the bytes before it (up to
// the dictionary's size) as its dictionary; the blocks of a part end with it.
// One part holding the whole input gives exactly EncodeLzh's bytes.
class StreamEncoder {
 public:
  StreamEncoder(int methodDigit, const EncoderOptions& options);
  ~StreamEncoder();
  StreamEncoder(const StreamEncoder&) = delete;
  StreamEncoder& operator=(const StreamEncoder&) = delete;

  void SetTrace(std::vector<BlockTrace>* trace);
  // Encodes data[history, history + bytes); data[0, history) precede them.
  // Whole bytes of output are appended to out.
  void Encode(const uint8_t* data, size_t history, size_t bytes, std::vector<uint8_t>* out);
  // The last bits, padded to a byte.
  void Finish(std::vector<uint8_t>* out);

 private:
  std::unique_ptr<StreamState> state_;
};
std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit,
                               const EncoderOptions& options, std::vector<BlockTrace>* trace);

// Code lengths of a Huffman code for these frequencies, no length above
// maxLength (package-merge, so optimal under the limit). Unused symbols get 0.
// With a single used symbol it gets length 1 (callers use the one-value form).
// Requires (number of used symbols) <= 2^maxLength.
void HuffmanLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths);

// Position code of a distance value d = distance - 1: 0 for 0, else the bit
// length of d (so codes 2.. carry code - 1 extra bits).
int PositionCode(uint32_t d);

}  // namespace lzhenc
