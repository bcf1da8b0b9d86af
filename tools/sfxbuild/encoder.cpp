// The encoder's parse and its drivers: the optimal parse of each block under
// the cost model, the level presets, and the stream made part by part.
#include "encoder.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "block_coder.h"
#include "encoder_internal.h"
#include "match_finder.h"

namespace lzhenc {
namespace internal {

// ---------------------------------------------------------------- parsing

// Shortest path over n positions from the cursor's under the model; codes in
// input order. cost and from are per position: the cheapest cost found so
// far and the code that reaches it (symbol << 16 | distance value). Of equal
// costs the first found stays.
void Parse(const uint8_t* data, CandidateCursor cursor, uint32_t n, const CostModel& m,
           std::vector<uint32_t>& costs, std::vector<uint32_t>& from, std::vector<Code>& codes) {
  // Signed comparisons below; room for the masked lanes past the end.
  costs.assign(size_t{n} + 1 + kLanePad, 0x7FFFFFFFu);
  from.resize(size_t{n} + 1 + kLanePad);
  costs[0] = 0;
  uint32_t* cost = costs.data();
  uint32_t* code = from.data();
  const uint8_t* in = data + cursor.pos;
  for (uint32_t i = 0; i < n; ++i) {
    // Every position is reached by a literal, so base is a real cost.
    const uint32_t base = cost[i];
    const uint32_t lit = base + m.charCost[in[i]];
    const bool litLower = lit < cost[i + 1];  // selected without a branch: unpredictable
    cost[i + 1] = litLower ? lit : cost[i + 1];
    code[i + 1] = litLower ? uint32_t{in[i]} << 16 : code[i + 1];
    uint32_t count;
    const uint32_t* cand = cursor.Next(&count);
    const uint32_t room = n - i;
    uint32_t len = kMinMatch;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t d = cand[k] & 0xFFFF;
      const uint32_t distCost = base + m.posCost[PositionCode(d)];
      const uint32_t top = std::min<uint32_t>(cand[k] >> 16, room);
      uint32_t* c = cost + i;
      uint32_t* s = code + i;
#if defined(__SSE2__)
      // Four lengths at a time, the lanes past top masked off: costs, and
      // the codes where they are lower. Few branches: their outcomes are
      // as unpredictable as the data.
      const __m128i dc = _mm_set1_epi32(static_cast<int>(distCost));
      const __m128i step = _mm_set1_epi32(4);
      const __m128i symStep = _mm_set1_epi32(4 << 16);
      const __m128i end = _mm_set1_epi32(static_cast<int>(top + 1));
      __m128i lens = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(len)), _mm_setr_epi32(0, 1, 2, 3));
      __m128i sym = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(((kMatchSymbolBase + len) << 16) | d)),
                                  _mm_setr_epi32(0, 1 << 16, 2 << 16, 3 << 16));
      for (; len <= top; len += 4) {
        __m128i v = _mm_add_epi32(dc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(m.lenCost + len)));
        __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + len));
        __m128i lower = _mm_and_si128(_mm_cmplt_epi32(v, old), _mm_cmplt_epi32(lens, end));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(c + len),
                         _mm_or_si128(_mm_and_si128(lower, v), _mm_andnot_si128(lower, old)));
        __m128i oldSym = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + len));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s + len),
                         _mm_or_si128(_mm_and_si128(lower, sym), _mm_andnot_si128(lower, oldSym)));
        sym = _mm_add_epi32(sym, symStep);
        lens = _mm_add_epi32(lens, step);
      }
      len = top + 1;
#else
      for (; len <= top; ++len) {
        const uint32_t v = distCost + m.lenCost[len];
        const bool lower = v < c[len];
        c[len] = lower ? v : c[len];
        s[len] = lower ? ((kMatchSymbolBase + len) << 16) | d : s[len];
      }
#endif
      if (top < (cand[k] >> 16)) break;
    }
  }
  codes.clear();
  for (uint32_t at = n; at > 0;) {
    const Code s = {static_cast<uint16_t>(code[at] >> 16), static_cast<uint16_t>(code[at])};
    codes.push_back(s);
    at -= CodeBytes(s);
  }
  std::reverse(codes.begin(), codes.end());
}

// A first estimate of the codes, for the cost model of the first block: the
// longest candidate wherever there is one. Its statistics are close enough
// to the optimal parse's that one optimal pass under them does as well as two.
void GreedyCodes(const uint8_t* data, CandidateCursor cursor, uint32_t n, std::vector<Code>& codes) {
  codes.clear();
  const uint8_t* in = data + cursor.pos;
  for (uint32_t i = 0; i < n;) {
    uint32_t count;
    const uint32_t* cand = cursor.Next(&count);
    uint32_t len = count ? std::min<uint32_t>(cand[count - 1] >> 16, n - i) : 0;
    if (len < kMinMatch) {
      codes.push_back({in[i], 0});
      ++i;
      continue;
    }
    codes.push_back({static_cast<uint16_t>(kMatchSymbolBase + len),
                     static_cast<uint16_t>(cand[count - 1])});
    for (uint32_t k = 1; k < len; ++k) cursor.Next(&count);
    i += len;
  }
}

}  // namespace internal

using namespace internal;

// Without a branch: the bit length of d | 1, less one for d = 0.
int PositionCode(uint32_t d) { return (31 ^ __builtin_clz(d | 1)) + (d != 0); }

void HuffmanLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths) {
  memset(lengths, 0, static_cast<size_t>(count));
  struct Node {
    uint64_t weight;
    int parent;
  };
  std::vector<int> leaves;
  for (int i = 0; i < count; ++i)
    if (freq[i] != 0) leaves.push_back(i);
  if (leaves.empty()) return;
  if (leaves.size() == 1) {
    lengths[leaves[0]] = 1;
    return;
  }
  std::stable_sort(leaves.begin(), leaves.end(),
                   [&](int a, int b) { return freq[a] < freq[b]; });
  // Two queues: sorted leaves and internal nodes made in ascending weight.
  size_t m = leaves.size();
  std::vector<Node> nodes(2 * m - 1);
  for (size_t i = 0; i < m; ++i) nodes[i] = {freq[leaves[i]], -1};
  size_t nextLeaf = 0, nextInner = m, made = m;
  auto takeSmallest = [&]() -> size_t {
    if (nextLeaf < m && (nextInner >= made || nodes[nextLeaf].weight <= nodes[nextInner].weight))
      return nextLeaf++;
    return nextInner++;
  };
  while (made < 2 * m - 1) {
    size_t a = takeSmallest();
    size_t b = takeSmallest();
    nodes[made] = {nodes[a].weight + nodes[b].weight, -1};
    nodes[a].parent = nodes[b].parent = static_cast<int>(made);
    ++made;
  }
  std::vector<int> depth(2 * m - 1, 0);
  for (size_t i = 2 * m - 1; i-- > 0;)
    if (nodes[i].parent >= 0) depth[i] = depth[nodes[i].parent] + 1;
  for (size_t i = 0; i < m; ++i) lengths[leaves[i]] = static_cast<uint8_t>(std::min(depth[i], 63));
  LimitLengths(freq, count, maxLength, lengths);
}

EncoderOptions LevelOptions(int level) {
  EncoderOptions o;
  switch (level) {
    case 1:
      o.chainDepth = 1;
      o.niceLength = 16;
      break;
    case 3:
      o.chainDepth = 8;
      o.niceLength = 128;
      o.parsePasses = 2;
      break;
    case 4:
      o.treeSearch = true;
      o.chainDepth = 32;
      o.niceLength = 128;
      o.parsePasses = 2;
      break;
    default:
      break;
  }
  return o;
}

std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit) {
  return EncodeLzh(data, size, methodDigit, EncoderOptions(), nullptr);
}

// What goes on from one part of an input to the next: the bit output, the
// last block's code lengths and cost model.
struct StreamState {
  int methodDigit;
  EncoderOptions options;
  BitWriter bits;
  BlockCoder coder;
  CostModel model;
  bool firstBlock = true;
  std::vector<uint32_t> costs, from;
  std::vector<Code> codes;
  std::vector<BlockTrace>* trace = nullptr;

  StreamState(int digit, const EncoderOptions& o)
      : methodDigit(digit), options(o), coder(bits, digit == 5 ? kPosCodeCountSmall : kPosCodeCountLarge,
              digit == 5 ? kPosCountBitsSmall : kPosCountBitsLarge) {}
};

namespace internal {
// Blocks for data[first, size); data[0, first) is the dictionary before them.
template <class Finder>
void EncodeWith(StreamState& s, const uint8_t* data, size_t first, size_t size) {
  const EncoderOptions& options = s.options;
  const int methodDigit = s.methodDigit;
  const uint32_t maxDistance = methodDigit == 5 ? 8192u : methodDigit == 6 ? 32768u : 65536u;
  const int posCodes = methodDigit == 5 ? kPosCodeCountSmall : kPosCodeCountLarge;
  const uint32_t segmentBytes = std::max<uint32_t>(options.segmentBytes, 1024);
  const uint32_t blockCap = std::min<uint32_t>(std::max<uint32_t>(options.maxBlockCodes, 1),
                                               kMaxBlockCodes);
  const int passes = std::max(1, options.parsePasses);

  MatchChunks<Finder> matches(data, first, size, maxDistance, options, ChunkBytesFor(options),
                              ThreadCount(options.threads));
  const uint32_t chunkBytes = matches.ChunkBytes();
  const uint32_t base = static_cast<uint32_t>(first);

  CandidateCursor cursor;
  cursor.chunks = &matches.Chunks();
  cursor.chunkBytes = chunkBytes;
  cursor.base = base;
  cursor.pos = base;
  cursor.need = [](void* m, size_t c) { static_cast<MatchChunks<Finder>*>(m)->Need(c); };
  cursor.needArg = &matches;
  const uint32_t total = static_cast<uint32_t>(size);

  while (cursor.pos < total) {
    // Segments end where chunks do: a chunk's first position is always
    // searched, so the next block never starts inside a long match it would
    // have to code with literals; and the end is known before the chunks are
    // found, so the parse can follow the finders chunk by chunk.
    const uint32_t start = cursor.pos;
    uint64_t end = base + (uint64_t{start - base} + segmentBytes) / chunkBytes * chunkBytes;
    if (end <= start) end = base + (uint64_t{start - base} / chunkBytes + 1) * chunkBytes;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end, total)) - start;
    matches.Expect((start + n - 1 - base) / chunkBytes);

    if (s.firstBlock) {
      GreedyCodes(data, cursor, n, s.codes);
      s.coder.Measure(s.codes);
      ModelFromLengths(s.coder.CharLengths(), s.coder.PosLengths(), posCodes, s.model);
    }
    for (int r = 0; r < passes; ++r) {
      Parse(data, cursor, n, s.model, s.costs, s.from, s.codes);
      if (r + 1 < passes) {
        s.coder.Measure(s.codes);
        ModelFromLengths(s.coder.CharLengths(), s.coder.PosLengths(), posCodes, s.model);
      }
    }
    s.firstBlock = false;

    uint32_t used = n;
    if (s.codes.size() > blockCap) {
      s.codes.resize(blockCap);
      used = 0;
      for (const Code& c : s.codes) used += CodeBytes(c);
    }
    s.coder.Write(s.codes, s.trace);
    ModelFromLengths(s.coder.CharLengths(), s.coder.PosLengths(), posCodes, s.model);

    uint32_t count;
    for (uint32_t k = 0; k < used; ++k) cursor.Next(&count);
    matches.Release((cursor.pos - base) / chunkBytes);
  }
}
}  // namespace internal

std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit,
                               const EncoderOptions& options, std::vector<BlockTrace>* trace) {
  std::vector<uint8_t> out;
  if (methodDigit >= '0') methodDigit -= '0';
  if (size == 0 || methodDigit < 5 || methodDigit > 7) return out;
  if (size > 0xFFFFFFF0u) return out;  // positions are 32-bit
  StreamEncoder stream(methodDigit, options);
  stream.SetTrace(trace);
  out.reserve(size / 2 + 64);
  stream.Encode(data, 0, size, &out);
  stream.Finish(&out);
  return out;
}

StreamEncoder::StreamEncoder(int methodDigit, const EncoderOptions& options)
    : state_(new StreamState(methodDigit >= '0' ? methodDigit - '0' : methodDigit, options)) {}

StreamEncoder::~StreamEncoder() = default;

void StreamEncoder::SetTrace(std::vector<BlockTrace>* trace) { state_->trace = trace; }

void StreamEncoder::Encode(const uint8_t* data, size_t history, size_t bytes,
                           std::vector<uint8_t>* out) {
  if (bytes == 0) return;
  state_->bits.To(out);
  if (state_->options.treeSearch)
    EncodeWith<TreeFinder>(*state_, data, history, history + bytes);
  else
    EncodeWith<ChainFinder>(*state_, data, history, history + bytes);
}

void StreamEncoder::Finish(std::vector<uint8_t>* out) {
  state_->bits.To(out);
  state_->bits.Flush();
}

}  // namespace lzhenc
