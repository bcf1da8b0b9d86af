#include "encoder.h"

#include "helper_threads.h"

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lzhenc {
namespace {

constexpr uint32_t kDefaultChunkBytes = 32768;
constexpr uint32_t kTreeChunkBytes = 262144;
constexpr int kLanePad = 4;  // entries past the end that a four-lane step may touch
constexpr uint32_t kNone = 0xFFFFFFFFu;

// ---------------------------------------------------------------- bit output

class BitWriter {
 public:
  // Whole bytes go to the vector of the moment; the bits of an unfinished
  // byte wait for the next call.
  void To(std::vector<uint8_t>* out) { out_ = out; }
  // The low n bits of value, most significant first; n up to 24.
  void Put(int n, uint32_t value) {
    acc_ = (acc_ << n) | (value & ((1u << n) - 1));
    bits_ += n;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_->push_back(static_cast<uint8_t>(acc_ >> bits_));
    }
    acc_ &= (1u << bits_) - 1;
  }
  void Flush() {
    if (bits_ > 0) out_->push_back(static_cast<uint8_t>(acc_ << (8 - bits_)));
    acc_ = 0;
    bits_ = 0;
  }

 private:
  std::vector<uint8_t>* out_ = nullptr;
  uint32_t acc_ = 0;
  int bits_ = 0;
};

// ---------------------------------------------------------------- codes

// Canonical codes as the decoder assigns them: shorter codes first, and within
// one length ascending symbol order.
void CanonicalCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  uint32_t perLength[kMaxCodeLength + 2] = {};
  for (int i = 0; i < count; ++i) ++perLength[lengths[i]];
  perLength[0] = 0;
  uint32_t next[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    code = (code + perLength[len - 1]) << 1;
    next[len] = code;
  }
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) codes[i] = static_cast<uint16_t>(next[lengths[i]]++);
}

int UsedSymbols(const uint32_t* freq, int count, int* only) {
  int used = 0;
  for (int i = 0; i < count; ++i)
    if (freq[i] != 0) {
      ++used;
      *only = i;
    }
  return used;
}

// ---------------------------------------------------------------- match finder

// The input is cut into chunks whose matches are found independently: a
// finder first inserts the dictionary's worth of positions before the chunk
// (unless it has just found the chunk before), then searches the chunk, so
// what a chunk holds depends on the input alone and not on which thread
// found it or what that thread found before.
// Candidates are packed as length << 16 | (distance - 1).
constexpr uint8_t kSkipped = 0xFF;  // position inside a long match, not searched

// A cache line each: chunks next to each other are filled by different threads.
struct alignas(64) ChunkMatches {
  uint32_t begin = 0, end = 0;
  std::vector<uint8_t> counts;   // per position: its number of candidates, or kSkipped
  std::vector<uint32_t> cands;   // in position order; per position increasing lengths
};

inline uint32_t PackCandidate(uint32_t length, uint32_t distance) {
  return length << 16 | (distance - 1);
}

bool IsLittleEndian() {
  const uint16_t one = 1;
  uint8_t first;
  memcpy(&first, &one, 1);
  return first == 1;
}

// Length of the common prefix of a and b from len on, at most limit; eight
// bytes at a time while they fit below the limit.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t len, uint32_t limit) {
  while (len + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + len, 8);
    memcpy(&y, b + len, 8);
    uint64_t diff = x ^ y;
    if (diff != 0) return len + (IsLittleEndian() ? __builtin_ctzll(diff) : __builtin_clzll(diff)) / 8;
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

// Hash bits for a table of about twice the input's size, so small inputs do
// not pay for clearing large tables; at most `most`.
int TableBits(size_t size, int most) {
  int bits = 10;
  while (bits < most && (size_t{1} << bits) < 2 * size) ++bits;
  return bits;
}

// Binary-tree match finder: every position is inserted into a search tree of
// the suffixes that start in the window (one tree per 3-byte hash), so a
// search sees the closest strings in sorted order rather than a chain of
// recent ones. This matters for double-byte text, whose 3-byte prefixes repeat
// so often that a chain of bounded depth misses the long matches.
class TreeFinder {
 public:
  TreeFinder(const uint8_t* data, size_t size, uint32_t maxDistance, const EncoderOptions& o)
      : data_(data), size_(size), maxDistance_(maxDistance),
        depth_(std::max(1, o.chainDepth)),
        nice_(std::min<int>(std::max<int>(o.niceLength, kMinMatch), kMaxMatch)),
        hashBits_(TableBits(size, 18)),
        head_(size_t{1} << hashBits_), tree_(2 * (kTreeMask + 1), kNone) {}

  void Run(uint32_t begin, uint32_t end, ChunkMatches& out) {
    // Positions left out of the tree leave stale nodes behind: start from an
    // empty tree, so every node reached was made in this run.
    std::fill(head_.begin(), head_.end(), kNone);
    uint32_t found[kMaxMatch];
    skipUntil_ = 0;
    for (uint32_t p = begin > maxDistance_ ? begin - maxDistance_ : 0; p < begin; ++p)
      Find(p, found);
    skipUntil_ = begin;
    out.begin = begin;
    out.end = end;
    out.counts.resize(end - begin);
    out.cands.clear();
    for (uint32_t p = begin; p < end; ++p) {
      if (p < skipUntil_) {
        out.counts[p - begin] = kSkipped;
        continue;
      }
      int n = Find(p, found);
      out.counts[p - begin] = static_cast<uint8_t>(n);
      out.cands.insert(out.cands.end(), found, found + n);
    }
  }

 private:
  static constexpr uint32_t kTreeMask = 0x1FFFF;  // twice the largest dictionary

  // Candidates at pos with strictly increasing lengths (and distances).
  int Find(uint32_t pos, uint32_t* out) {
    // Inside a long match the position is left out of the tree: an insertion
    // cut short would drop every older node below the cut.
    if (pos < skipUntil_ || pos + kMinMatch > size_) return 0;
    uint32_t limit = static_cast<uint32_t>(std::min<size_t>(kMaxMatch, size_ - pos));
    const uint8_t* here = data_ + pos;
    uint32_t h = Hash(pos);
    uint32_t cand = head_[h];
    head_[h] = pos;
    uint32_t* smaller = &tree_[2 * (pos & kTreeMask)];      // where the next smaller node hangs
    uint32_t* larger = &tree_[2 * (pos & kTreeMask) + 1];
    uint32_t smallerLen = 0, largerLen = 0;
    uint32_t best = kMinMatch - 1;
    int found = 0;
    for (int tries = depth_;; --tries) {
      if (cand == kNone || tries == 0 || pos - cand > maxDistance_) {
        *smaller = *larger = kNone;
        break;
      }
      const uint8_t* there = data_ + cand;
      uint32_t* node = &tree_[2 * (cand & kTreeMask)];
      uint32_t len = MatchLength(there, here, std::min(smallerLen, largerLen), limit);
      if (len > best) {
        best = len;
        out[found++] = PackCandidate(len, pos - cand);
      }
      if (len >= limit) {
        // Equal within reach: the new node takes over the old one's subtrees.
        *smaller = node[0];
        *larger = node[1];
        break;
      }
      if (there[len] < here[len]) {
        *smaller = cand;
        smaller = &node[1];
        cand = *smaller;
        smallerLen = len;
      } else {
        *larger = cand;
        larger = &node[0];
        cand = *larger;
        largerLen = len;
      }
    }
    if (best >= static_cast<uint32_t>(nice_)) skipUntil_ = pos + best;
    return found;
  }

  uint32_t Hash(uint32_t pos) const {
    uint32_t v = data_[pos] | (data_[pos + 1] << 8) | (data_[pos + 2] << 16);
    return (v * 2654435761u) >> (32 - hashBits_);
  }

  const uint8_t* data_;
  size_t size_;
  uint32_t maxDistance_;
  int depth_;
  int nice_;
  int hashBits_;
  uint32_t skipUntil_ = 0;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> tree_;
};

// Hash chains at three context lengths, 4, 8 and 16 bytes, each walked a few
// steps, and a table of the latest position of every 3-byte string. A chain of
// longer contexts holds only positions that already agree on that many bytes,
// so a short walk reaches long matches that lie far back; this is what
// double-byte text needs, whose short prefixes repeat too often for one chain.
// Every position is inserted (a few stores); only positions outside a long
// match are searched.
//
// A run that goes on where the finder's last one ended keeps the tables: they
// hold what inserting the dictionary before it would put there, and older
// entries, which the distance test rejects as it rejects empty ones. So it
// finds what a run on fresh tables finds, without inserting anything twice.
class ChainFinder {
 public:
  ChainFinder(const uint8_t* data, size_t size, uint32_t maxDistance, const EncoderOptions& o)
      : data_(data), size_(size), maxDistance_(maxDistance),
        nice_(std::min<int>(std::max<int>(o.niceLength, kMinMatch), kMaxMatch)),
        headBits_(TableBits(size, kHeadBits)), shortBits_(TableBits(size, kShortBits)),
        slots_(std::min<uint32_t>(maxDistance, 1u << TableBits(size, 16))), slotMask_(slots_ - 1),
        heads_(new uint32_t[HeadCount()]),
        links_(new uint32_t[size_t{kLevels} * slots_]) {
    int depth = std::max(1, o.chainDepth);
    depth_[0] = std::max(1, depth / 2);
    depth_[1] = depth_[2] = depth;
    // Links need no clearing: one is read only for a position inserted
    // since the heads were cleared, less than slots_ before the searched one.
  }

  void Run(uint32_t begin, uint32_t end, ChunkMatches& out) {
    out.begin = begin;
    out.end = end;
    out.counts.resize(end - begin);
    out.cands.clear();
    // Going on from the end of the last run, the tables already hold what
    // inserting the dictionary before begin would put there (and older
    // entries, which the distance test rejects). Elsewhere they start empty:
    // entries from a later part of the input would cut chains short.
    uint32_t p = begin;
    if (begin != insertedUntil_) {
      std::fill(heads_.get(), heads_.get() + HeadCount(), kNone);
      p = begin > maxDistance_ ? begin - maxDistance_ : 0;
    }
    insertedUntil_ = end;
    Hashes ring[kAhead];
    for (uint32_t a = p; a < p + kAhead && a < end; ++a) Prepare(a, ring[a % kAhead]);
    uint32_t skipUntil = begin;
    for (; p < end; ++p) {
      Hashes h = ring[p % kAhead];
      if (p + kAhead < end) Prepare(p + kAhead, ring[p % kAhead]);
      uint32_t start[kLevels + 1];
      Insert(p, h, start);
      if (p < begin) continue;
      if (p < skipUntil) {
        out.counts[p - begin] = kSkipped;
        continue;
      }
      uint32_t found[kMaxMatch];
      int n = Search(p, start, found);
      out.counts[p - begin] = static_cast<uint8_t>(n);
      for (int k = 0; k < n; ++k) out.cands.push_back(found[k]);
      if (n > 0) {
        uint32_t top = found[n - 1] >> 16;
        if (top >= static_cast<uint32_t>(nice_)) skipUntil = p + top;
      }
    }
  }

 private:
  static constexpr int kLevels = 3;
  static constexpr uint32_t kContext[kLevels] = {4, 8, 16};
  static constexpr int kHeadBits = 16;
  static constexpr int kShortBits = 14;
  static constexpr uint32_t kAhead = 8;  // positions hashed (and their heads fetched) ahead
  static constexpr uint32_t kNoHash = 0xFFFFFFFFu;

  // Table indexes of one position: the three contexts (kNoHash where the
  // input ends too soon), then the 3-byte string.
  struct Hashes {
    uint32_t at[kLevels + 1];
  };

  size_t HeadCount() const { return (size_t{kLevels} << headBits_) + (size_t{1} << shortBits_); }

  static uint32_t Read24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }
  static uint64_t Read64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return IsLittleEndian() ? v : __builtin_bswap64(v);
  }

  void Prepare(uint32_t pos, Hashes& h) const {
    const uint8_t* p = data_ + pos;
    const size_t left = size_ - pos;
    for (int k = 0; k < kLevels; ++k) h.at[k] = kNoHash;
    h.at[kLevels] = kNoHash;
    if (left < kMinMatch) return;
    h.at[kLevels] = (size_t{kLevels} << headBits_) +
                    ((Read24(p) * 2654435761u) >> (32 - shortBits_));
    if (left >= kContext[0]) {
      uint32_t x = Read24(p) | (uint32_t{p[3]} << 24);
      h.at[0] = (x * 2654435761u) >> (32 - headBits_);
    }
    if (left >= kContext[1]) {
      uint64_t v = Read64(p);
      h.at[1] = (size_t{1} << headBits_) +
                static_cast<uint32_t>((v * 0xC2B2AE3D27D4EB4Full) >> (64 - headBits_));
      if (left >= kContext[2]) {
        v ^= Read64(p + 8) * 0x9E3779B97F4A7C15ull;
        v ^= v >> 29;
        h.at[2] = (size_t{2} << headBits_) +
                  static_cast<uint32_t>((v * 0xC2B2AE3D27D4EB4Full) >> (64 - headBits_));
      }
    }
    for (int k = 0; k <= kLevels; ++k)
      if (h.at[k] != kNoHash) __builtin_prefetch(&heads_[h.at[k]], 1);
  }

  // Makes pos the head of its chains; start gets the previous heads (the
  // three chains, then the latest 3-byte string).
  void Insert(uint32_t pos, const Hashes& h, uint32_t* start) {
    uint32_t* heads = heads_.get();
    for (int k = 0; k <= kLevels; ++k) {
      start[k] = kNone;
      if (h.at[k] == kNoHash) continue;
      start[k] = heads[h.at[k]];
      heads[h.at[k]] = pos;
      if (k < kLevels) links_[static_cast<size_t>(k) * slots_ + (pos & slotMask_)] = start[k];
    }
  }

  // Candidates with strictly increasing lengths and distances.
  int Search(uint32_t pos, const uint32_t* start, uint32_t* out) {
    const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(kMaxMatch, size_ - pos));
    const uint8_t* here = data_ + pos;
    for (int k = 0; k <= kLevels; ++k)
      if (start[k] != kNone && pos - start[k] <= maxDistance_) {
        __builtin_prefetch(data_ + start[k]);
        if (k < kLevels) __builtin_prefetch(&links_[static_cast<size_t>(k) * slots_ + (start[k] & slotMask_)]);
      }
    // Lengths strictly increase, so at most kMaxMatch - 2 are kept.
    uint32_t length[kMaxMatch], distance[kMaxMatch];
    int n = 0;
    uint32_t best = kMinMatch - 1;
    const uint32_t shortCand = start[kLevels];
    // Distances from 1 to the dictionary only; a position not before pos
    // (which the tables never hold) would wrap below 1.
    if (shortCand != kNone && pos - shortCand - 1 < maxDistance_) {
      uint32_t len = MatchLength(data_ + shortCand, here, 0, limit);
      if (len > best) {
        best = len;
        length[n] = len;
        distance[n++] = pos - shortCand;
      }
    }
    // Shorter contexts first: their close matches are the cheap ones. The
    // walk goes on past the nice length: data that repeats at one period
    // would otherwise keep a shorter match at the wrong distance.
    for (int k = 0; k < kLevels && best < limit; ++k) {
      const uint32_t* links = &links_[static_cast<size_t>(k) * slots_];
      uint32_t cand = start[k];
      for (int tries = depth_[k]; tries > 0 && cand != kNone; --tries) {
        const uint32_t dist = pos - cand;
        if (dist - 1 >= maxDistance_) break;
        const uint8_t* there = data_ + cand;
        if (best < 8 && limit >= 8) {
          // Short so far: the first eight bytes decide most candidates, and
          // are compared and recorded without a branch on their outcome.
          uint64_t x, y;
          memcpy(&x, there, 8);
          memcpy(&y, here, 8);
          const uint64_t diff = x ^ y;
          uint32_t len = diff != 0 ? (IsLittleEndian() ? __builtin_ctzll(diff) : __builtin_clzll(diff)) / 8
                                   : MatchLength(there, here, 8, limit);
          const bool longer = len > best;
          length[n] = len;
          distance[n] = dist;
          n += longer;
          best = longer ? len : best;
          if (best >= limit) break;
        } else if (there[best] == here[best]) {  // best < limit: cannot read past the input
          uint32_t len = MatchLength(there, here, 0, limit);
          if (len > best) {
            best = len;
            length[n] = len;
            distance[n++] = dist;
            if (best >= limit) break;
          }
        }
        // A link as far back as the table holds has been replaced by pos's own.
        if (dist >= slots_) break;
        cand = links[cand & slotMask_];
      }
    }
    // Keep the matches no closer one beats: by distance, increasing lengths.
    for (int i = 1; i < n; ++i)
      for (int j = i; j > 0 && distance[j] < distance[j - 1]; --j) {
        std::swap(distance[j], distance[j - 1]);
        std::swap(length[j], length[j - 1]);
      }
    int kept = 0;
    uint32_t top = 0;
    for (int i = 0; i < n; ++i)
      if (length[i] > top) {
        out[kept++] = PackCandidate(length[i], distance[i]);
        top = length[i];
      }
    return kept;
  }

  const uint8_t* data_;
  size_t size_;
  uint32_t maxDistance_;
  int nice_;
  int headBits_, shortBits_;
  uint32_t slots_;  // links per chain: a power of two, the dictionary or less for short inputs
  uint32_t slotMask_;
  int depth_[kLevels];
  std::unique_ptr<uint32_t[]> heads_;  // the three chains' heads, then the 3-byte table
  std::unique_ptr<uint32_t[]> links_;  // per chain, the previous position of each slot
  uint32_t insertedUntil_ = kNone;     // every position before it is in the tables
};

// ---------------------------------------------------------------- block coder

struct Code {
  uint16_t symbol;    // 0..255 literal, 256.. match of length symbol - kMatchSymbolBase
  uint16_t distance;  // distance value (bytes back - 1) for matches
};

// The input bytes a code stands for.
uint32_t CodeBytes(const Code& c) { return c.symbol < 256 ? 1 : c.symbol - kMatchSymbolBase; }

struct CostModel {
  uint32_t charCost[kCharCodeCount];
  uint32_t lenCost[kMaxMatch + 1 + kLanePad];  // charCost of each length, indexed by it
  uint32_t posCost[kMaxPosCodeCount];  // code length plus extra bits
};

int ExtraBits(int posCode) { return posCode < 2 ? 0 : posCode - 1; }

// Bit costs from code lengths; a symbol the lengths leave out costs a little
// more than the longest used code, so the parse can still pick it up.
void ModelFromLengths(const uint8_t* charLen, const uint8_t* posLen, int posCodes, CostModel& m) {
  int maxChar = 1;
  for (int i = 0; i < kCharCodeCount; ++i) maxChar = std::max<int>(maxChar, charLen[i]);
  for (int i = 0; i < kCharCodeCount; ++i)
    m.charCost[i] = charLen[i] != 0 ? charLen[i] : std::min(maxChar + 2, 18);
  for (int l = 0; l <= kMaxMatch + kLanePad; ++l)
    m.lenCost[l] = l < kMinMatch || l > kMaxMatch ? 0 : m.charCost[kMatchSymbolBase + l];
  int maxPos = 1;
  for (int j = 0; j < posCodes; ++j) maxPos = std::max<int>(maxPos, posLen[j]);
  for (int j = 0; j < kMaxPosCodeCount; ++j) {
    uint32_t len = j < posCodes ? (posLen[j] != 0 ? posLen[j] : std::min(maxPos + 2, 18)) : 64;
    m.posCost[j] = len + ExtraBits(j);
  }
}

// Fixes lengths above the limit: the classic count adjustment, then lengths
// handed out again by frequency rank.
void LimitLengths(const uint32_t* freq, int count, int maxLength, uint8_t* lengths) {
  uint32_t perLength[64] = {};
  int longest = 0;
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) {
      ++perLength[lengths[i]];
      longest = std::max<int>(longest, lengths[i]);
    }
  if (longest <= maxLength) return;
  for (int l = maxLength + 1; l <= longest; ++l) {
    perLength[maxLength] += perLength[l];
    perLength[l] = 0;
  }
  uint64_t kraft = 0;
  for (int l = 1; l <= maxLength; ++l) kraft += uint64_t{perLength[l]} << (maxLength - l);
  while (kraft > (uint64_t{1} << maxLength)) {
    --perLength[maxLength];
    for (int l = maxLength - 1; l > 0; --l)
      if (perLength[l] != 0) {
        --perLength[l];
        perLength[l + 1] += 2;
        break;
      }
    --kraft;
  }
  std::vector<int> order;
  for (int i = 0; i < count; ++i)
    if (lengths[i] != 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return freq[a] > freq[b]; });
  size_t k = 0;
  for (int l = 1; l <= maxLength; ++l)
    for (uint32_t n = 0; n < perLength[l]; ++n) lengths[order[k++]] = static_cast<uint8_t>(l);
}

class BlockCoder {
 public:
  BlockCoder(BitWriter& out, int posCodes, int posCountBits)
      : out_(out), posCodes_(posCodes), posCountBits_(posCountBits) {}

  // Code lengths of the block, for the caller's cost model and trace.
  void Measure(const std::vector<Code>& codes) {
    memset(charFreq_, 0, sizeof charFreq_);
    memset(posFreq_, 0, sizeof posFreq_);
    for (const Code& c : codes) {
      ++charFreq_[c.symbol];
      if (c.symbol >= 256) ++posFreq_[PositionCode(c.distance)];
    }
    HuffmanLengths(charFreq_, kCharCodeCount, kMaxCodeLength, charLen_);
    HuffmanLengths(posFreq_, posCodes_, kMaxCodeLength, posLen_);
  }

  void Write(const std::vector<Code>& codes, std::vector<BlockTrace>* trace) {
    Measure(codes);
    out_.Put(kBlockCountBits, static_cast<uint32_t>(codes.size()));
    int onlyChar = 0;
    if (UsedSymbols(charFreq_, kCharCodeCount, &onlyChar) <= 1) {
      memset(charLen_, 0, sizeof charLen_);
      memset(lengthLen_, 0, sizeof lengthLen_);
      out_.Put(kLengthCountBits, 0);
      out_.Put(kLengthCountBits, 0);
      out_.Put(kCharCountBits, 0);
      out_.Put(kCharCountBits, static_cast<uint32_t>(onlyChar));
    } else {
      WriteCharLengths();
    }
    int onlyPos = 0;
    if (UsedSymbols(posFreq_, posCodes_, &onlyPos) <= 1) {
      memset(posLen_, 0, sizeof posLen_);
      out_.Put(posCountBits_, 0);
      out_.Put(posCountBits_, static_cast<uint32_t>(onlyPos));
    } else {
      WriteLengths(posLen_, posCodes_, posCountBits_, -1);
    }
    uint16_t charCode[kCharCodeCount];
    uint16_t posCode[kMaxPosCodeCount];
    CanonicalCodes(charLen_, kCharCodeCount, charCode);
    CanonicalCodes(posLen_, posCodes_, posCode);
    for (const Code& c : codes) {
      if (charLen_[c.symbol] != 0) out_.Put(charLen_[c.symbol], charCode[c.symbol]);
      if (c.symbol < 256) continue;
      int j = PositionCode(c.distance);
      if (posLen_[j] != 0) out_.Put(posLen_[j], posCode[j]);
      if (j >= 2) out_.Put(j - 1, c.distance);  // the top bit is implied
    }
    if (trace) {
      BlockTrace t;
      t.codes = static_cast<uint32_t>(codes.size());
      t.charLengths.assign(charLen_, charLen_ + kCharCodeCount);
      t.lengthLengths.assign(lengthLen_, lengthLen_ + kLengthCodeCount);
      t.posLengths.assign(posLen_, posLen_ + posCodes_);
      for (const Code& c : codes) t.inputBytes += CodeBytes(c);
      trace->push_back(t);
    }
  }

  const uint8_t* CharLengths() const { return charLen_; }
  const uint8_t* PosLengths() const { return posLen_; }

 private:
  // One code-length value: 0..6 in three bits, 7 and more as 111 and a unary tail.
  void PutLength(int len) {
    if (len < kLengthEscape) out_.Put(3, static_cast<uint32_t>(len));
    else out_.Put(len - 3, (1u << (len - 3)) - 2);
  }

  // Length tables read by the decoder's position-length reader: a count, the
  // lengths, and with a special index a 2-bit zero run after that index.
  void WriteLengths(const uint8_t* lengths, int count, int countBits, int special) {
    int n = count;
    while (n > 0 && lengths[n - 1] == 0) --n;
    out_.Put(countBits, static_cast<uint32_t>(n));
    int i = 0;
    while (i < n) {
      PutLength(lengths[i++]);
      if (i == special) {
        int z = 0;
        while (z < 3 && i + z < n && lengths[i + z] == 0) ++z;
        out_.Put(2, static_cast<uint32_t>(z));
        i += z;
      }
    }
  }

  struct LengthToken {
    uint8_t symbol;
    uint8_t extraBits;
    uint16_t extra;
  };

  void WriteCharLengths() {
    int n = kCharCodeCount;
    while (n > 0 && charLen_[n - 1] == 0) --n;
    std::vector<LengthToken> tokens;
    for (int i = 0; i < n;) {
      if (charLen_[i] != 0) {
        tokens.push_back({static_cast<uint8_t>(charLen_[i] + kZeroRunSymbols - 1), 0, 0});
        ++i;
        continue;
      }
      int run = 0;
      while (i + run < n && charLen_[i + run] == 0) ++run;
      i += run;
      // Runs of 3 to 18 and from 20 have codes; 19 is one zero and a run of 18.
      const int shortMax = kZeroRunShortBase + (1 << kZeroRunShortBits) - 1;
      if (run < kZeroRunShortBase) {
        for (int k = 0; k < run; ++k) tokens.push_back({0, 0, 0});
      } else if (run <= shortMax) {
        tokens.push_back({1, kZeroRunShortBits, static_cast<uint16_t>(run - kZeroRunShortBase)});
      } else if (run < kZeroRunLongBase) {
        tokens.push_back({0, 0, 0});
        tokens.push_back({1, kZeroRunShortBits, static_cast<uint16_t>(run - 1 - kZeroRunShortBase)});
      } else {
        tokens.push_back({2, kZeroRunLongBits, static_cast<uint16_t>(run - kZeroRunLongBase)});
      }
    }
    uint32_t freq[kLengthCodeCount] = {};
    for (const LengthToken& t : tokens) ++freq[t.symbol];
    int onlyToken = 0;
    if (UsedSymbols(freq, kLengthCodeCount, &onlyToken) <= 1) {
      memset(lengthLen_, 0, sizeof lengthLen_);
      out_.Put(kLengthCountBits, 0);
      out_.Put(kLengthCountBits, static_cast<uint32_t>(onlyToken));
    } else {
      HuffmanLengths(freq, kLengthCodeCount, kMaxCodeLength, lengthLen_);
      WriteLengths(lengthLen_, kLengthCodeCount, kLengthCountBits, kLengthCodeSpecial);
    }
    uint16_t codes[kLengthCodeCount];
    CanonicalCodes(lengthLen_, kLengthCodeCount, codes);
    out_.Put(kCharCountBits, static_cast<uint32_t>(n));
    for (const LengthToken& t : tokens) {
      if (lengthLen_[t.symbol] != 0) out_.Put(lengthLen_[t.symbol], codes[t.symbol]);
      if (t.extraBits) out_.Put(t.extraBits, t.extra);
    }
  }

  BitWriter& out_;
  int posCodes_;
  int posCountBits_;
  uint32_t charFreq_[kCharCodeCount];
  uint32_t posFreq_[kMaxPosCodeCount];
  uint8_t charLen_[kCharCodeCount] = {};
  uint8_t posLen_[kMaxPosCodeCount] = {};
  uint8_t lengthLen_[kLengthCodeCount] = {};
};

// ---------------------------------------------------------------- parsing

// Walks the candidates of consecutive positions across chunk boundaries.
struct CandidateCursor {
  const std::vector<ChunkMatches>* chunks = nullptr;
  uint32_t chunkBytes = 0;
  uint32_t base = 0;    // where chunk 0 begins: the bytes before it are dictionary only
  uint32_t pos = 0;     // the position whose candidates come next
  uint32_t offset = 0;  // its first candidate in its chunk
  const ChunkMatches* chunk = nullptr;  // pos's, once known
  void (*need)(void* arg, size_t chunk) = nullptr;  // waits until a chunk is found
  void* needArg = nullptr;

  // Candidates of pos, then on to the next position; count 0 when none.
  const uint32_t* Next(uint32_t* count) {
    if (chunk == nullptr || pos == chunk->end) {
      need(needArg, (pos - base) / chunkBytes);
      chunk = &(*chunks)[(pos - base) / chunkBytes];
      if (pos == chunk->begin) offset = 0;
    }
    uint32_t n = chunk->counts[pos - chunk->begin];
    ++pos;
    n = n == kSkipped ? 0 : n;
    const uint32_t* first = chunk->cands.data() + offset;
    offset += n;
    *count = n;
    return first;
  }
};

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

}  // namespace

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


namespace {

// Chunks of the input whose matches are found by whichever thread is free.
// A finder that goes on with the chunk right after its last one has no
// dictionary to insert first, so each thread keeps to a run of consecutive
// chunks: the parsing thread from the front, where the parse needs them, a
// helper from the middle of the longest run nobody has taken. Only chunks
// within kWindow of the one being parsed are found, which bounds the memory
// held for large inputs.
template <class Finder>
class MatchChunks {
 public:
  // Chunks of [first, size); the bytes before first are dictionary only.
  MatchChunks(const uint8_t* data, size_t first, size_t size, uint32_t maxDistance,
              const EncoderOptions& o, uint32_t chunkBytes, int threads)
      : data_(data), first_(first), size_(size), maxDistance_(maxDistance), options_(o),
        chunkBytes_(chunkBytes), chunks_((size - first + chunkBytes - 1) / chunkBytes),
        state_(chunks_.size(), kFree), free_(chunks_.size()) {
    helpers_.Start(static_cast<int>(std::min<size_t>(threads, chunks_.size())) - 1,
                   [this] { Help(); });
  }

  const std::vector<ChunkMatches>& Chunks() const { return chunks_; }
  uint32_t ChunkBytes() const { return chunkBytes_; }

  // Waits until chunk c is found, finding others meanwhile.
  void Need(size_t c) {
    std::unique_lock<std::mutex> lock(helpers_.mutex);
    needed_ = std::max(needed_, c);
    while (state_[c] != kDone) {
      size_t mine;
      if (Pick(own_, c, &mine))
        Find(own_, mine, lock);
      else
        helpers_.changed.wait(lock);
    }
  }

  // The parse will need the chunks up to c next.
  void Expect(size_t c) {
    {
      std::lock_guard<std::mutex> lock(helpers_.mutex);
      needed_ = std::max(needed_, c);
    }
    helpers_.changed.notify_all();
  }

  // Chunks before c are no longer needed.
  void Release(size_t c) {
    {
      std::lock_guard<std::mutex> lock(helpers_.mutex);
      for (; parsed_ < c; ++parsed_) {
        std::vector<uint8_t>().swap(chunks_[parsed_].counts);
        std::vector<uint32_t>().swap(chunks_[parsed_].cands);
      }
    }
    helpers_.changed.notify_all();
  }

 private:
  static constexpr size_t kWindow = 32;
  static constexpr size_t kNoChunk = ~size_t{0};
  enum : uint8_t { kFree, kBusy, kDone };

  struct Worker {
    std::unique_ptr<Finder> finder;
    size_t last = kNoChunk;  // the chunk it found last
  };

  // With the mutex held: the wanted chunk if free, else the one after the
  // worker's last, else the middle of the longest free run.
  bool Pick(const Worker& w, size_t want, size_t* c) const {
    const size_t limit = std::min(chunks_.size(), std::max(parsed_ + kWindow, needed_ + 1));
    if (want < limit && state_[want] == kFree) {
      *c = want;
      return true;
    }
    if (w.last + 1 < limit && state_[w.last + 1] == kFree) {
      *c = w.last + 1;
      return true;
    }
    // What the parse will soon need comes first.
    return Steal(std::min(limit, needed_ + 1), c) || Steal(limit, c);
  }

  // The middle of the longest free run before limit.
  bool Steal(size_t limit, size_t* c) const {
    size_t runStart = 0, runLength = 0;
    for (size_t i = parsed_; i < limit;) {
      if (state_[i] != kFree) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < limit && state_[j] == kFree) ++j;
      if (j - i > runLength) {
        runStart = i;
        runLength = j - i;
      }
      i = j;
    }
    if (runLength == 0) return false;
    *c = runStart + runLength / 2;
    return true;
  }

  // Finds chunk c, the mutex released meanwhile.
  void Find(Worker& w, size_t c, std::unique_lock<std::mutex>& lock) {
    state_[c] = kBusy;
    --free_;
    lock.unlock();
    if (!w.finder) w.finder.reset(new Finder(data_, size_, maxDistance_, options_));
    uint32_t begin = static_cast<uint32_t>(first_ + c * chunkBytes_);
    uint32_t end = static_cast<uint32_t>(std::min<size_t>(size_, size_t{begin} + chunkBytes_));
    w.finder->Run(begin, end, chunks_[c]);
    w.last = c;
    lock.lock();
    state_[c] = kDone;
    helpers_.changed.notify_all();
  }

  void Help() {
    Worker me;
    std::unique_lock<std::mutex> lock(helpers_.mutex);
    while (!helpers_.Stopping() && free_ > 0) {
      size_t c;
      if (Pick(me, kNoChunk, &c))
        Find(me, c, lock);
      else
        helpers_.changed.wait(lock);
    }
  }

  const uint8_t* data_;
  size_t first_;
  size_t size_;
  uint32_t maxDistance_;
  const EncoderOptions& options_;
  uint32_t chunkBytes_;
  std::vector<ChunkMatches> chunks_;
  std::vector<uint8_t> state_;         // guarded by helpers_.mutex, as the counters below
  size_t free_;                        // chunks nobody has taken
  size_t parsed_ = 0;                  // chunks before this one are released
  size_t needed_ = 0;                  // the furthest chunk the parse has asked for
  Worker own_;                         // the parsing thread's
  HelperThreads helpers_;              // its mutex guards the state above
};

uint32_t ChunkBytesFor(const EncoderOptions& o) {
  if (o.chunkBytes != 0) return std::max<uint32_t>(o.chunkBytes, 1024);
  return o.treeSearch ? kTreeChunkBytes : kDefaultChunkBytes;
}


}  // namespace

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

namespace {

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

}  // namespace

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
