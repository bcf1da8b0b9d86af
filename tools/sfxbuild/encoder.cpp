#include "encoder.h"

#include <string.h>

#include <algorithm>

namespace lzhenc {
namespace {

constexpr uint32_t kInfinity = 0xFFFFFFFFu;
constexpr int kHashBits = 18;
constexpr uint32_t kNone = 0xFFFFFFFFu;

// ---------------------------------------------------------------- bit output

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // The low n bits of value, most significant first; n up to 24.
  void Put(int n, uint32_t value) {
    acc_ = (acc_ << n) | (value & ((1u << n) - 1));
    bits_ += n;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> bits_));
    }
    acc_ &= (1u << bits_) - 1;
  }
  void Flush() {
    if (bits_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - bits_)));
    acc_ = 0;
    bits_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
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

struct Candidate {
  uint16_t length;
  uint32_t distance;  // bytes back, 1..dictionary size
};

bool IsLittleEndian() {
  const uint16_t one = 1;
  uint8_t first;
  memcpy(&first, &one, 1);
  return first == 1;
}

// Length of the common prefix of a and b from len on, at most limit; eight
// bytes at a time while they fit below the limit.
uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t len, uint32_t limit) {
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
        head_(size_t{1} << kHashBits, kNone), tree_(2 * (kTreeMask + 1), kNone) {}

  // Candidates at pos with strictly increasing lengths (and distances), written
  // to out; returns how many. Positions must be asked in order, each once.
  int Find(uint32_t pos, Candidate* out) {
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
        out[found++] = {static_cast<uint16_t>(len), pos - cand};
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

  uint32_t SkipUntil() const { return skipUntil_; }

 private:
  static constexpr uint32_t kTreeMask = 0x1FFFF;  // twice the largest dictionary

  uint32_t Hash(uint32_t pos) const {
    uint32_t v = data_[pos] | (data_[pos + 1] << 8) | (data_[pos + 2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  }


  const uint8_t* data_;
  size_t size_;
  uint32_t maxDistance_;
  int depth_;
  int nice_;
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
class ChainFinder {
 public:
  ChainFinder(const uint8_t* data, size_t size, uint32_t maxDistance, const EncoderOptions& o)
      : data_(data), size_(size), maxDistance_(maxDistance),
        nice_(std::min<int>(std::max<int>(o.niceLength, kMinMatch), kMaxMatch)),
        shortHead_(size_t{1} << kShortBits, kNone) {
    int depth = std::max(1, o.chainDepth);
    depth_[0] = std::max(1, depth / 2);
    depth_[1] = depth_[2] = depth;
    for (int k = 0; k < kLevels; ++k) {
      head_[k].assign(size_t{1} << kHeadBits, kNone);
      prev_[k].assign(size_t{kWindowMask} + 1, kNone);
    }
  }

  // As TreeFinder::Find: candidates with strictly increasing lengths and
  // distances; positions in order, each once.
  int Find(uint32_t pos, Candidate* out) {
    if (pos + kMinMatch > size_) return 0;
    const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(kMaxMatch, size_ - pos));
    const uint8_t* here = data_ + pos;
    uint32_t shortHash = (Read24(here) * 2654435761u) >> (32 - kShortBits);
    uint32_t shortCand = shortHead_[shortHash];
    shortHead_[shortHash] = pos;
    uint32_t start[kLevels];
    for (int k = 0; k < kLevels; ++k) {
      start[k] = kNone;
      if (limit < kContext[k]) continue;  // too near the end to hash
      uint32_t h = ContextHash(here, k);
      start[k] = head_[k][h];
      head_[k][h] = pos;
      prev_[k][pos & kWindowMask] = start[k];
    }
    if (pos < skipUntil_) return 0;

    Candidate found[kMaxMatch + 1];
    int n = 0;
    uint32_t best = kMinMatch - 1;
    // The walk goes on past the nice length: data that repeats at one period
    // would otherwise keep a shorter match at the wrong distance.
    const uint32_t enough = limit;
    if (shortCand != kNone && pos - shortCand <= maxDistance_) {
      uint32_t len = MatchLength(data_ + shortCand, here, 0, limit);
      if (len > best) {
        best = len;
        found[n++] = {static_cast<uint16_t>(len), pos - shortCand};
      }
    }
    // Shorter contexts first: their close matches are the cheap ones.
    for (int k = 0; k < kLevels && best < enough; ++k) {
      uint32_t cand = start[k];
      for (int tries = depth_[k]; tries > 0 && cand != kNone && pos - cand <= maxDistance_;
           --tries) {
        const uint8_t* there = data_ + cand;
        if (there[best] == here[best]) {  // best < limit: cannot read past the input
          uint32_t len = MatchLength(there, here, 0, limit);
          if (len > best) {
            best = len;
            found[n++] = {static_cast<uint16_t>(len), pos - cand};
            if (best >= enough) break;
          }
        }
        cand = prev_[k][cand & kWindowMask];
      }
    }
    // Keep the matches no closer one beats: by distance, increasing lengths.
    for (int i = 1; i < n; ++i)
      for (int j = i; j > 0 && found[j].distance < found[j - 1].distance; --j)
        std::swap(found[j], found[j - 1]);
    int kept = 0;
    uint32_t top = 0;
    for (int i = 0; i < n; ++i)
      if (found[i].length > top) {
        out[kept++] = found[i];
        top = found[i].length;
      }
    if (top >= static_cast<uint32_t>(nice_)) skipUntil_ = pos + top;
    return kept;
  }

  uint32_t SkipUntil() const { return skipUntil_; }

 private:
  static constexpr int kLevels = 3;
  static constexpr uint32_t kContext[kLevels] = {4, 8, 16};
  static constexpr uint32_t kWindowMask = 0x1FFFF;  // twice the largest dictionary
  static constexpr int kHeadBits = 16;
  static constexpr int kShortBits = 14;

  static uint32_t Read24(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }
  static uint64_t Read64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return IsLittleEndian() ? v : __builtin_bswap64(v);
  }
  // Hash of the first kContext[k] bytes; the caller checks they exist.
  static uint32_t ContextHash(const uint8_t* p, int k) {
    uint64_t v;
    if (k == 0) {
      uint32_t x = Read24(p) | (uint32_t{p[3]} << 24);
      return (x * 2654435761u) >> (32 - kHeadBits);
    }
    v = Read64(p);
    if (k == 2) {
      v ^= Read64(p + 8) * 0x9E3779B97F4A7C15ull;
      v ^= v >> 29;
    }
    return static_cast<uint32_t>((v * 0xC2B2AE3D27D4EB4Full) >> (64 - kHeadBits));
  }

  const uint8_t* data_;
  size_t size_;
  uint32_t maxDistance_;
  int nice_;
  int depth_[kLevels];
  uint32_t skipUntil_ = 0;
  std::vector<uint32_t> head_[kLevels];
  std::vector<uint32_t> prev_[kLevels];
  std::vector<uint32_t> shortHead_;
};

// ---------------------------------------------------------------- block coder

struct Code {
  uint16_t symbol;    // 0..255 literal, 256.. match of length symbol - 253
  uint16_t distance;  // distance value (bytes back - 1) for matches
};

struct CostModel {
  uint32_t charCost[kCharSymbols];
  uint32_t posCost[17];  // code length plus extra bits
};

int ExtraBits(int posCode) { return posCode < 2 ? 0 : posCode - 1; }

// Bit costs from code lengths; a symbol the lengths leave out costs a little
// more than the longest used code, so the parse can still pick it up.
void ModelFromLengths(const uint8_t* charLen, const uint8_t* posLen, int posCodes, CostModel& m) {
  int maxChar = 1;
  for (int i = 0; i < kCharSymbols; ++i) maxChar = std::max<int>(maxChar, charLen[i]);
  for (int i = 0; i < kCharSymbols; ++i)
    m.charCost[i] = charLen[i] != 0 ? charLen[i] : std::min(maxChar + 2, 18);
  int maxPos = 1;
  for (int j = 0; j < posCodes; ++j) maxPos = std::max<int>(maxPos, posLen[j]);
  for (int j = 0; j < 17; ++j) {
    uint32_t len = j < posCodes ? (posLen[j] != 0 ? posLen[j] : std::min(maxPos + 2, 18)) : 64;
    m.posCost[j] = len + ExtraBits(j);
  }
}

void InitialModel(int posCodes, CostModel& m) {
  for (int i = 0; i < 256; ++i) m.charCost[i] = 9;
  for (int l = kMinMatch; l <= kMaxMatch; ++l) {
    int c = l <= 4 ? 6 : l <= 8 ? 7 : l <= 16 ? 8 : l <= 64 ? 10 : 12;
    m.charCost[253 + l] = c;
  }
  for (int j = 0; j < 17; ++j) m.posCost[j] = j < posCodes ? 4 + ExtraBits(j) : 64;
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
    HuffmanLengths(charFreq_, kCharSymbols, kMaxCodeLength, charLen_);
    HuffmanLengths(posFreq_, posCodes_, kMaxCodeLength, posLen_);
  }

  void Write(const std::vector<Code>& codes, std::vector<BlockTrace>* trace) {
    Measure(codes);
    out_.Put(16, static_cast<uint32_t>(codes.size()));
    int onlyChar = 0;
    if (UsedSymbols(charFreq_, kCharSymbols, &onlyChar) <= 1) {
      memset(charLen_, 0, sizeof charLen_);
      memset(lengthLen_, 0, sizeof lengthLen_);
      out_.Put(5, 0);
      out_.Put(5, 0);
      out_.Put(9, 0);
      out_.Put(9, static_cast<uint32_t>(onlyChar));
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
    uint16_t charCode[kCharSymbols];
    uint16_t posCode[17];
    CanonicalCodes(charLen_, kCharSymbols, charCode);
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
      t.charLengths.assign(charLen_, charLen_ + kCharSymbols);
      t.lengthLengths.assign(lengthLen_, lengthLen_ + kLengthSymbols);
      t.posLengths.assign(posLen_, posLen_ + posCodes_);
      for (const Code& c : codes) t.inputBytes += c.symbol < 256 ? 1 : c.symbol - 253;
      trace->push_back(t);
    }
  }

  const uint8_t* CharLengths() const { return charLen_; }
  const uint8_t* PosLengths() const { return posLen_; }

 private:
  // One code-length value: 0..6 in three bits, 7 and more as 111 and a unary tail.
  void PutLength(int len) {
    if (len < 7) out_.Put(3, static_cast<uint32_t>(len));
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
    int n = kCharSymbols;
    while (n > 0 && charLen_[n - 1] == 0) --n;
    std::vector<LengthToken> tokens;
    for (int i = 0; i < n;) {
      if (charLen_[i] != 0) {
        tokens.push_back({static_cast<uint8_t>(charLen_[i] + 2), 0, 0});
        ++i;
        continue;
      }
      int run = 0;
      while (i + run < n && charLen_[i + run] == 0) ++run;
      i += run;
      if (run <= 2) {
        for (int k = 0; k < run; ++k) tokens.push_back({0, 0, 0});
      } else if (run <= 18) {
        tokens.push_back({1, 4, static_cast<uint16_t>(run - 3)});
      } else if (run == 19) {
        tokens.push_back({0, 0, 0});
        tokens.push_back({1, 4, 15});
      } else {
        tokens.push_back({2, 9, static_cast<uint16_t>(run - 20)});
      }
    }
    uint32_t freq[kLengthSymbols] = {};
    for (const LengthToken& t : tokens) ++freq[t.symbol];
    int onlyToken = 0;
    if (UsedSymbols(freq, kLengthSymbols, &onlyToken) <= 1) {
      memset(lengthLen_, 0, sizeof lengthLen_);
      out_.Put(5, 0);
      out_.Put(5, static_cast<uint32_t>(onlyToken));
    } else {
      HuffmanLengths(freq, kLengthSymbols, kMaxCodeLength, lengthLen_);
      WriteLengths(lengthLen_, kLengthSymbols, 5, 3);
    }
    uint16_t codes[kLengthSymbols];
    CanonicalCodes(lengthLen_, kLengthSymbols, codes);
    out_.Put(9, static_cast<uint32_t>(n));
    for (const LengthToken& t : tokens) {
      if (lengthLen_[t.symbol] != 0) out_.Put(lengthLen_[t.symbol], codes[t.symbol]);
      if (t.extraBits) out_.Put(t.extraBits, t.extra);
    }
  }

  BitWriter& out_;
  int posCodes_;
  int posCountBits_;
  uint32_t charFreq_[kCharSymbols];
  uint32_t posFreq_[17];
  uint8_t charLen_[kCharSymbols] = {};
  uint8_t posLen_[17] = {};
  uint8_t lengthLen_[kLengthSymbols] = {};
};

// ---------------------------------------------------------------- parsing

// The candidates of a run of positions, kept while its blocks are parsed.
struct Segment {
  uint32_t start = 0;                 // input position of entry 0
  std::vector<uint32_t> first;        // per position: index of its first candidate
  std::vector<Candidate> candidates;  // first.back() marks the end

  uint32_t Size() const { return static_cast<uint32_t>(first.size()) - 1; }
};

// Shortest path over the segment's first n positions under the model; codes
// in input order. Each position's state packs its cost (high half) with the
// code that reaches it, so one unsigned minimum keeps both, ties going to the
// smaller symbol and distance.
void Parse(const uint8_t* data, const Segment& seg, uint32_t n, const CostModel& m,
           std::vector<uint64_t>& state, std::vector<Code>& codes) {
  state.assign(size_t{n} + 1, ~uint64_t{0});
  state[0] = 0;
  uint64_t* st = state.data();
  const uint8_t* in = data + seg.start;
  for (uint32_t i = 0; i < n; ++i) {
    // Every position is reached by a literal, so base is a real cost.
    const uint64_t base = st[i] >> 32;
    uint64_t lit = ((base + m.charCost[in[i]]) << 32) | (uint64_t{in[i]} << 16);
    if (lit < st[i + 1]) st[i + 1] = lit;
    const uint32_t room = n - i;
    uint32_t len = kMinMatch;
    for (uint32_t k = seg.first[i]; k < seg.first[i + 1]; ++k) {
      const Candidate& c = seg.candidates[k];
      const uint32_t d = c.distance - 1;
      const uint64_t distCost = base + m.posCost[PositionCode(d)];
      const uint32_t top = std::min<uint32_t>(c.length, room);
      for (; len <= top; ++len) {
        uint64_t v = ((distCost + m.charCost[253 + len]) << 32) | (uint64_t{253 + len} << 16) | d;
        uint64_t& slot = st[i + len];
        slot = v < slot ? v : slot;
      }
      if (top < c.length) break;
    }
  }
  codes.clear();
  for (uint32_t at = n; at > 0;) {
    const uint32_t low = static_cast<uint32_t>(st[at]);
    const Code s = {static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
    codes.push_back(s);
    at -= s.symbol < 256 ? 1 : s.symbol - 253;
  }
  std::reverse(codes.begin(), codes.end());
}

uint32_t CodeBytes(const Code& c) { return c.symbol < 256 ? 1 : c.symbol - 253; }

}  // namespace

int PositionCode(uint32_t d) { return d == 0 ? 0 : 32 - __builtin_clz(d); }

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

std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit) {
  return EncodeLzh(data, size, methodDigit, EncoderOptions(), nullptr);
}

namespace {

template <class Finder>
void EncodeWith(const uint8_t* data, size_t size, int methodDigit, const EncoderOptions& options,
                std::vector<BlockTrace>* trace, std::vector<uint8_t>& out) {

  const uint32_t maxDistance = methodDigit == 5 ? 8192u : methodDigit == 6 ? 32768u : 65536u;
  const int posCodes = methodDigit == 5 ? 14 : 17;
  const int posCountBits = methodDigit == 5 ? 4 : 5;
  const uint32_t segmentBytes = std::max<uint32_t>(options.segmentBytes, 1024);
  const uint32_t blockCap = std::min<uint32_t>(std::max<uint32_t>(options.maxBlockCodes, 1),
                                               kMaxBlockCodes);
  const int passes = std::max(1, options.parsePasses);

  out.reserve(size / 2 + 64);
  BitWriter bits(out);
  BlockCoder coder(bits, posCodes, posCountBits);
  Finder finder(data, size, maxDistance, options);
  CostModel model;
  InitialModel(posCodes, model);

  Segment seg;
  seg.first.push_back(0);
  uint32_t found = 0;  // positions whose candidates are known
  std::vector<uint64_t> state;
  std::vector<Code> codes;
  Candidate scratch[kMaxMatch];
  const uint32_t total = static_cast<uint32_t>(size);
  bool firstBlock = true;

  while (seg.start < total) {
    // Extend the segment; never end it inside a long match the finder skipped.
    uint32_t want = std::min<uint64_t>(uint64_t{seg.start} + segmentBytes, total);
    while (found < want || (found < total && found < finder.SkipUntil())) {
      int k = finder.Find(found, scratch);
      for (int c = 0; c < k; ++c) seg.candidates.push_back(scratch[c]);
      seg.first.push_back(static_cast<uint32_t>(seg.candidates.size()));
      ++found;
    }
    uint32_t n = seg.Size();

    int rounds = firstBlock ? passes + 1 : passes;
    for (int r = 0; r < rounds; ++r) {
      Parse(data, seg, n, model, state, codes);
      if (r + 1 < rounds) {
        coder.Measure(codes);
        ModelFromLengths(coder.CharLengths(), coder.PosLengths(), posCodes, model);
      }
    }
    firstBlock = false;

    uint32_t used = n;
    if (codes.size() > blockCap) {
      codes.resize(blockCap);
      used = 0;
      for (const Code& c : codes) used += CodeBytes(c);
    }
    coder.Write(codes, trace);
    ModelFromLengths(coder.CharLengths(), coder.PosLengths(), posCodes, model);

    // Keep the candidates of the positions not yet coded.
    uint32_t drop = seg.first[used];
    seg.candidates.erase(seg.candidates.begin(), seg.candidates.begin() + drop);
    seg.first.erase(seg.first.begin(), seg.first.begin() + used);
    for (uint32_t& f : seg.first) f -= drop;
    seg.start += used;
  }
  bits.Flush();
}

}  // namespace

std::vector<uint8_t> EncodeLzh(const uint8_t* data, size_t size, int methodDigit,
                               const EncoderOptions& options, std::vector<BlockTrace>* trace) {
  std::vector<uint8_t> out;
  if (methodDigit >= '0') methodDigit -= '0';
  if (size == 0 || methodDigit < 5 || methodDigit > 7) return out;
  if (size > 0xFFFFFFF0u) return out;  // positions are 32-bit
  if (options.treeSearch)
    EncodeWith<TreeFinder>(data, size, methodDigit, options, trace, out);
  else
    EncodeWith<ChainFinder>(data, size, methodDigit, options, trace, out);
  return out;
}

}  // namespace lzhenc
