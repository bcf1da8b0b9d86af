// Match finding: the candidates (length, distance) at every position of the
// input, found chunk by chunk by binary trees or hash chains, on several
// threads; and the cursor the parse walks them with.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "encoder_internal.h"
#include "helper_threads.h"

namespace lzhenc {
namespace internal {

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

inline bool IsLittleEndian() {
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
inline int TableBits(size_t size, int most) {
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

}  // namespace internal
}  // namespace lzhenc
