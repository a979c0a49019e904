// Ranking one query over the posting lists of its distinct tokens.
//
// Documents are visited in windows of consecutive ids. In each
// window every list offers an upper bound of what it can add to any
// document there: the largest bound of its blocks that overlap the window.
// With n candidates already kept and their n-th score t:
//   - a window whose bounds sum to t or less cannot hold a winner: skipped;
//   - lists whose bounds, smallest first, sum to t or less are not
//     essential: a document found only in them cannot win, so only the
//     essential lists are read in full (a block at a time, and a block whose
//     bound plus the other lists' bounds cannot beat t is skipped);
//   - each document the essential lists reached is then looked up in the
//     other lists, largest bound first, and dropped as soon as its score so
//     far plus the bounds still to add cannot beat t.
// Contributions are never negative where this runs (Index::regular,
// weights_prunable), so a partial score never exceeds the full one and a
// dropped document never had a chance. Bounds are compared with a small
// relative slack that covers the rounding of float sums, so the pruned
// result is the exhaustive one up to ties at the n-th score.
//
// The exhaustive form visits every posting in the same windows: it serves
// indexes where a score can be NaN or a document missing, which must be
// seen to be reported.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "fault.hpp"
#include "index/posting_list.hpp"
#include "index/top_n.hpp"

namespace vantoro {

// Windows hold a few hundred postings of the query's lists on average: small
// enough that window bounds follow the lists' blocks, large enough that the
// work per window does not outweigh the postings in it. They span at least
// 2^kMinWindowShift ids, and at least 1/32 of the ids up to
// 2^kWideWindowShift: over a million documents the work per window (bounds,
// seeks, a boundary block per list) cost 10 % more at 4,096 ids than at
// 16,384, and 16,384 cost 4 % more than 32,768 ('current' queries).
inline constexpr uint32_t kMinWindowShift = 12;
inline constexpr uint32_t kWideWindowShift = 15;
inline constexpr uint64_t kPostingsPerWindow = 256;
// How many postings of a list put in the window's table cost about as much
// as one lookup of a candidate in that list.
inline constexpr uint64_t kLookupCost = 32;

// How much of the query's lists a search read (benchmarks report the ratio).
struct SearchCounters {
  uint64_t listed = 0;  // postings in the query's lists
  uint64_t scored = 0;  // postings whose contribution was taken
};

template <class Source>
struct Cursor {
  const PostingList* list;
  Source source;
  uint32_t pos = 0;  // first posting not yet passed
  float window_bound = 0.0f;
  uint32_t window_block = 0;    // the block of pos when the window began
  uint32_t probe_block = 0;     // block pointer for bounds over a document range
  uint32_t cached_first = 0;    // the block last found by bound_at: its
  uint64_t cached_end = 0;      // documents [first, end) and its bound
  float cached_bound = 0.0f;
  static constexpr uint32_t kGroupBlocks = 8;
  std::vector<float> group_maxima{};  // per group of blocks, -1 until computed

  uint32_t size() const { return list->size(); }
  uint32_t doc(uint32_t i) const { return list->docs()[i]; }
  bool done() const { return pos >= list->size(); }
  uint32_t blocks() const { return block_count(list->size()); }
  uint32_t block_first(uint32_t b) const {
    return b < list->full_blocks() ? list->block(b).first_doc : list->docs()[b << kBlockShift];
  }
  uint32_t block_last(uint32_t b) const {
    return b < list->full_blocks() ? list->block(b).last_doc : list->docs()[list->size() - 1];
  }
  // The bound of the block that holds `doc` (0 if none does), for
  // documents that only move forward; the block is remembered.
  float bound_at(uint32_t doc) {
    if (doc >= cached_end) {
      const uint32_t n = blocks();
      while (probe_block < n && block_last(probe_block) < doc) ++probe_block;
      if (probe_block == n) {
        cached_first = 0;
        cached_end = uint64_t{1} << 32;
        cached_bound = 0.0f;
      } else {
        cached_first = block_first(probe_block);
        cached_end = uint64_t{block_last(probe_block)} + 1;
        cached_bound = source.block_bound(probe_block);
      }
    }
    return doc >= cached_first ? cached_bound : 0.0f;
  }
  void forget_cached_block() { cached_end = 0; }
  // A bound of what this list adds to the documents [first, last] of the
  // current window: the largest bound of its blocks at or after `b` that
  // overlap them; moves b to the first block not before `first`. Where
  // they span more than a few blocks (a dense list next to a sparse one),
  // the maxima of groups of kGroupBlocks blocks stand for the rest, or the
  // list's window bound (which covers every block in the window) where it
  // is lower: scanning every block cost a search over dense lists most of
  // its time.
  float bound_over(uint32_t& b, uint32_t first, uint32_t last) {
    constexpr uint32_t kMaxScanned = 4;
    const uint32_t n = blocks();
    while (b < n && block_last(b) < first) ++b;
    float m = 0.0f;
    const uint32_t stop = std::min(n, b + kMaxScanned);
    uint32_t k = b;
    for (; k < stop && block_first(k) <= last; ++k) m = std::max(m, source.block_bound(k));
    if (k < stop || k == n || block_first(k) > last) return m;
    float groups = 0.0f;
    for (uint32_t g = k / kGroupBlocks; g * kGroupBlocks < n && block_first(std::max(g * kGroupBlocks, k)) <= last; ++g) {
      groups = std::max(groups, group_bound(g));
    }
    return std::max(m, std::min(groups, window_bound));
  }
  // The largest bound of blocks [g, g + 1) * kGroupBlocks, computed when
  // first asked for in a search (bounds are never negative: -1 marks a
  // group not yet computed).
  float group_bound(uint32_t g) {
    if (group_maxima.empty()) group_maxima.assign((blocks() + kGroupBlocks - 1) / kGroupBlocks, -1.0f);
    float& m = group_maxima[g];
    if (m < 0.0f) {
      const uint32_t end = std::min(blocks(), (g + 1) * kGroupBlocks);
      m = 0.0f;
      for (uint32_t k = g * kGroupBlocks; k < end; ++k) m = std::max(m, source.block_bound(k));
    }
    return m;
  }
  // Moves past every posting whose document is below `doc`.
  void seek(uint64_t doc) {
    pos = doc > std::numeric_limits<uint32_t>::max() ? size() : list->seek(pos, static_cast<uint32_t>(doc));
  }
};

// Scores of one window and the list of documents that have one. One table
// per thread, reused by every search on it: a stamp tells which scores
// belong to the current window, so that nothing is cleared per window or per
// search and a search costs in proportion to the postings it adds, not to
// the window's size.
class WindowScores {
 public:
  static constexpr uint32_t kCapacityShift = 16;
  static constexpr uint32_t kCapacity = uint32_t{1} << kCapacityShift;

  // The calling thread's table, for windows of up to `size` documents (at
  // most kCapacity): it grows to the largest size asked for, so a thread
  // that searches only small indexes holds a small table.
  static WindowScores& local(uint32_t size);
  void reserve(uint32_t size) {
    if (size <= cells_.size()) return;
    std::vector<Cell> cells(size, Cell{0.0f, 0});
    std::vector<uint32_t> touched(size_t{size} + 1);  // add() writes one past the last document
    std::vector<uint32_t> merged(std::min(size, kMerged));
    cells_.swap(cells);
    touched_.swap(touched);
    merged_.swap(merged);
  }

  // Starts a window: every score reads as absent.
  void start() {
    count_ = 0;
    runs_ = 0;
    if (++stamp_ == 0) {
      for (Cell& cell : cells_) cell.stamp = 0;
      stamp_ = 1;
    }
  }
  // The table can hold a list's positions instead of scores: put() records
  // where the list holds a document, position() finds it (else `none`).
  // Start a window before either.
  void put(uint32_t offset, uint32_t pos) { cells_[offset] = Cell{std::bit_cast<float>(pos), stamp_}; }
  uint32_t position(uint32_t offset, uint32_t none) const {
    const Cell cell = cells_[offset];
    return cell.stamp == stamp_ ? std::bit_cast<uint32_t>(cell.score) : none;
  }
  // Branch-free: whether the document is new is data, not a jump, so long
  // lists that mix new and seen documents cost no mispredictions.
  void add(uint32_t offset, float w) {
    Cell& cell = cells_[offset];
    const bool fresh = cell.stamp != stamp_;
    cell.score = w + (fresh ? 0.0f : cell.score);
    cell.stamp = stamp_;
    touched_[count_] = offset;
    count_ += fresh;
  }
  // Marks where the documents first reached by the next list begin: each
  // list adds documents in ascending order, so the touched list is a run of
  // ascending ids per list.
  void start_run() {
    if (runs_ < kMaxRuns) run_start_[runs_++] = count_;
  }
  // Puts the documents of a window of at most kMerged documents in
  // ascending order (for lookups that move forward), merging the runs.
  void sort() {
    if (runs_ > kMaxRuns - 1 || count_ > merged_.size()) {
      std::sort(touched_.begin(), touched_.begin() + count_);
    } else {
      run_start_[runs_] = count_;
      for (uint32_t r = 1; r < runs_; ++r) {
        // Merge [0, start of r) with run r.
        const uint32_t* a = touched_.data();
        const uint32_t* a_end = a + run_start_[r];
        const uint32_t* b = a_end;
        const uint32_t* b_end = touched_.data() + run_start_[r + 1];
        uint32_t* out = merged_.data();
        while (a < a_end && b < b_end) *out++ = *a < *b ? *a++ : *b++;
        while (a < a_end) *out++ = *a++;
        while (b < b_end) *out++ = *b++;
        std::memcpy(touched_.data(), merged_.data(), sizeof(uint32_t) * run_start_[r + 1]);
      }
    }
    runs_ = 0;
  }
  // Calls visit(offset, score) for each document of the window.
  template <class Visit>
  void drain(Visit&& visit) {
    for (uint32_t k = 0; k < count_; ++k) visit(touched_[k], cells_[touched_[k]].score);
  }
 private:
  struct Cell {
    float score;
    uint32_t stamp;
  };
  static constexpr uint32_t kMaxRuns = 16;
  static constexpr uint32_t kMerged = 1 << 12;
  std::vector<Cell> cells_;
  uint32_t stamp_ = 0;
  std::vector<uint32_t> touched_;
  uint32_t count_ = 0;
  uint32_t run_start_[kMaxRuns + 1];
  uint32_t runs_ = 0;
  std::vector<uint32_t> merged_;
};

// The smallest document id among the lists' next postings, if any is left.
template <class Source>
bool next_document(const std::vector<Cursor<Source>>& cursors, uint32_t& next) {
  bool any = false;
  next = std::numeric_limits<uint32_t>::max();
  for (const Cursor<Source>& c : cursors) {
    if (!c.done()) {
      next = std::min(next, c.doc(c.pos));
      any = true;
    }
  }
  return any;
}

// Calls visit(b, begin, end, weights) for the postings [begin, end) of each
// block b of one list from c.pos up to the first document >= window_end,
// but for blocks that `skip(block)` rules out, and moves past them.
template <class Source, class Skip, class Visit>
void read_window(Cursor<Source>& c, uint64_t window_end, SearchCounters& counters, Skip&& skip, Visit&& visit) {
  float scratch[kBlockSize];
  const uint32_t* docs = c.list->docs();
  const uint32_t size = c.size();
  const uint32_t blocks = c.blocks();
  uint32_t b = c.pos >> kBlockShift;
  for (; b < blocks && c.block_first(b) < window_end; ++b) {
    if (skip(b)) continue;
    const uint32_t begin = std::max(c.pos, b << kBlockShift);
    uint32_t end = std::min(size, (b + 1) << kBlockShift);
    // Only the last block in the window can reach past it.
    if (c.block_last(b) >= window_end) {
      end = static_cast<uint32_t>(std::lower_bound(docs + begin, docs + end, window_end,
                                                   [](uint32_t d, uint64_t e) { return d < e; }) -
                                  docs);
    }
    counters.scored += end - begin;
    visit(b, begin, end, c.source.contributions(begin, end, scratch));
  }
  c.seek(window_end);
}

// Adds the window's postings of one list to its scores, but for blocks that
// `skip(block)` rules out.
template <class Source, class Skip>
void score_window(Cursor<Source>& c, uint32_t window_begin, uint64_t window_end, WindowScores& window,
                  SearchCounters& counters, Skip&& skip) {
  const uint32_t* docs = c.list->docs();
  read_window(c, window_end, counters, skip, [&](uint32_t, uint32_t begin, uint32_t end, const float* w) {
    for (uint32_t i = begin; i < end; ++i) window.add(docs[i] - window_begin, w[i - begin]);
  });
}

// Every candidate, scored exactly. With two or more candidates a NaN score
// cannot be ordered and fails the call; a single candidate is never compared.
// `check_nan`: the index can produce scores that are not numbers;
// `documents`: the number of document ids.
template <class Source>
ResultList exhaustive_search(std::vector<Cursor<Source>>& cursors, size_t n, bool check_nan, uint64_t documents,
                             SearchCounters& counters) {
  const uint32_t window_size = std::min<uint64_t>(WindowScores::kCapacity, std::bit_ceil(std::max<uint64_t>(documents, 1)));
  TopN top(n);
  uint64_t candidates = 0;
  ResultPair only{0, 0.0f};
  bool nan = false;
  WindowScores& window = WindowScores::local(window_size);
  uint32_t next;
  while (next_document(cursors, next)) {
    const uint32_t w0 = next & ~(window_size - 1);
    const uint64_t w1 = uint64_t{w0} + window_size;
    window.start();
    for (Cursor<Source>& c : cursors) {
      score_window(c, w0, w1, window, counters, [](uint32_t) { return false; });
    }
    if (check_nan) {
      window.drain([&](uint32_t offset, float score) {
        if (candidates++ == 0) only = ResultPair{w0 + offset, score};
        nan |= std::isnan(score);
        if (!nan) top.offer(w0 + offset, score);
      });
    } else {
      window.drain([&](uint32_t offset, float score) { top.offer(w0 + offset, score); });
    }
  }
  if (nan) {
    if (candidates >= 2) throw Fault(kMissingValue);
    return n > 0 ? ResultList{only} : ResultList{};
  }
  return top.take();
}

// Lists that score_floor reads whole: from n to this many postings.
constexpr uint32_t kFloorListMax = 4096;

// A score the n-th best document reaches for sure: in one list, the n-th
// largest weight belongs to n distinct documents, each scoring at least its
// weight. Taken from the short lists only (their weights are few to read),
// and used from the start, so that the first windows skip as much as the
// later ones. Only a document whose bound lies below it can be skipped: the
// documents that set it may tie with it at the n-th place.
template <class Source>
float score_floor(std::vector<Cursor<Source>>& cursors, size_t n, SearchCounters& counters) {
  float floor = -std::numeric_limits<float>::infinity();
  if (n == 0 || n > kFloorListMax) return floor;
  std::vector<float> best;  // a min-heap of the n largest weights
  float scratch[kBlockSize];
  for (Cursor<Source>& c : cursors) {
    if (c.size() < n || c.size() > kFloorListMax) continue;
    best.clear();
    for (uint32_t begin = 0; begin < c.size(); begin += kBlockSize) {
      const uint32_t end = std::min(c.size(), begin + kBlockSize);
      const float* w = c.source.contributions(begin, end, scratch);
      for (uint32_t i = 0; i < end - begin; ++i) {
        if (best.size() < n) {
          best.push_back(w[i]);
          std::push_heap(best.begin(), best.end(), std::greater<float>());
        } else if (w[i] > best.front()) {
          std::pop_heap(best.begin(), best.end(), std::greater<float>());
          best.back() = w[i];
          std::push_heap(best.begin(), best.end(), std::greater<float>());
        }
      }
    }
    counters.scored += c.size();
    floor = std::max(floor, best.front());
  }
  return floor;
}

// One list: no merging, only blocks that can still enter the top n.
template <class Source>
ResultList single_list_search(Cursor<Source>& c, size_t n, SearchCounters& counters) {
  TopN top(n);
  float scratch[kBlockSize];
  const uint32_t* docs = c.list->docs();
  for (uint32_t b = 0; b < c.blocks(); ++b) {
    if (c.source.block_bound(b) <= top.threshold()) continue;
    const uint32_t begin = b << kBlockShift;
    const uint32_t end = std::min(c.size(), begin + kBlockSize);
    const float* w = c.source.contributions(begin, end, scratch);
    counters.scored += end - begin;
    const float threshold = top.threshold();
    for (uint32_t i = begin; i < end; ++i) {
      if (w[i - begin] > threshold) top.offer(docs[i], w[i - begin]);
    }
  }
  return top.take();
}

// log2 of the window size for lists over `documents` ids.
template <class Source>
uint32_t window_shift(const std::vector<Cursor<Source>>& cursors, uint64_t documents) {
  uint64_t postings = 0;
  for (const Cursor<Source>& c : cursors) postings += c.size();
  const uint32_t id_bits = static_cast<uint32_t>(std::bit_width(std::max<uint64_t>(documents, 2) - 1));
  uint32_t shift = std::clamp(id_bits - std::min(id_bits, 5u), kMinWindowShift, kWideWindowShift);
  while (shift < WindowScores::kCapacityShift && (uint64_t{1} << shift) * postings < kPostingsPerWindow * documents) ++shift;
  return shift;
}

// A bound of what the lists of `order` other than c add to any document of
// c's block b. Each other list's probe block must start at its first block
// in the window; it moves forward with the blocks asked for.
template <class Source>
float others_bound(const Cursor<Source>& c, std::vector<Cursor<Source>*>& order, uint32_t b) {
  const uint32_t first = c.block_first(b);
  const uint32_t last = c.block_last(b);
  float bound = 0.0f;
  for (Cursor<Source>* other : order) {
    if (other != &c) bound += other->bound_over(other->probe_block, first, last);
  }
  return bound;
}

// The window's candidates where a single list is essential: its postings
// whose weight, with the other lists' bounds over their block, can beat
// theta, in document order. They are taken as the list is read, with no
// window table to fill and drain: most of a long list's postings are
// dropped there.
template <class Source>
void collect_candidates(Cursor<Source>& c, std::vector<Cursor<Source>*>& order, uint64_t window_end, float theta,
                        float slack, ResultList& candidates, SearchCounters& counters) {
  const uint32_t* docs = c.list->docs();
  for (Cursor<Source>* other : order) other->probe_block = other->window_block;
  float others = 0.0f;
  read_window(
      c, window_end, counters,
      [&](uint32_t b) {
        others = others_bound(c, order, b);
        return (c.source.block_bound(b) + others) * slack <= theta;
      },
      [&](uint32_t, uint32_t begin, uint32_t end, const float* w) {
        for (uint32_t i = begin; i < end; ++i) {
          if ((w[i - begin] + others) * slack > theta) candidates.push_back(ResultPair{docs[i], w[i - begin]});
        }
      });
}

// Adds to each candidate (ascending documents of the window from w0) what
// list c holds for its document among the postings [c.pos, end): the list's
// positions are written to the window's table by document, then each
// candidate reads its own. Neither loop carries a dependence from one step
// to the next, as a walk along the list in step with the candidates does;
// that walk cost more per candidate than a few postings written here.
template <class Source>
void table_add(const Cursor<Source>& c, uint32_t end, uint32_t w0, WindowScores& table, ResultList& candidates,
               SearchCounters& counters) {
  if (end == c.pos) return;
  const uint32_t* docs = c.list->docs();
  table.start();
  for (uint32_t i = c.pos; i < end; ++i) table.put(docs[i] - w0, i);
  counters.scored += end - c.pos;
  const uint32_t none = end;
  for (ResultPair& candidate : candidates) {
    const uint32_t pos = table.position(candidate.document - w0, none);
    const float w = c.source.weight(std::min(pos, end - 1));
    candidate.score += pos != none ? w : 0.0f;
  }
}

// Adds to each candidate (in ascending document order) what list c holds
// for its document at or after c.pos. The lists are far larger than the
// caches and the candidates far apart in them, so each lookup misses twice
// (documents, then weights): in three passes the misses of all the
// candidates overlap. A walk along the block bounds finds each candidate's
// block, whose documents are fetched; a search within it finds the
// position, whose weight is fetched; then the weights are added (no branch
// on whether the list holds the document).
template <class Source>
void add_looked_up(const Cursor<Source>& c, ResultList& candidates, std::vector<uint32_t>& found,
                   SearchCounters& counters) {
  const PostingList& list = *c.list;
  const uint32_t* docs = list.docs();
  const uint32_t last = list.size() - 1;
  found.resize(candidates.size());
  uint32_t b = c.pos >> kBlockShift;
  for (size_t k = 0; k < candidates.size(); ++k) {
    b = list.block_reaching(b, candidates[k].document);
    found[k] = b;
    list.prefetch_block(b);
  }
  for (size_t k = 0; k < candidates.size(); ++k) {
    found[k] = std::min(list.seek_in_block(found[k], c.pos, candidates[k].document), last);
    c.source.prefetch(found[k]);
  }
  for (size_t k = 0; k < candidates.size(); ++k) {
    const bool held = docs[found[k]] == candidates[k].document;
    const float w = c.source.weight(found[k]);
    candidates[k].score += held ? w : 0.0f;
    counters.scored += held;
  }
}

// `documents`: the number of document ids (the range the lists spread over).
template <class Source>
ResultList pruned_search(std::vector<Cursor<Source>>& cursors, size_t n, uint64_t documents,
                         SearchCounters& counters) {
  if (cursors.size() == 1) return single_list_search(cursors[0], n, counters);
  TopN top(n);
  const uint32_t largest =
      std::min<uint64_t>(uint64_t{1} << window_shift(cursors, documents), std::bit_ceil(std::max<uint64_t>(documents, 1)));
  // Until n candidates are kept nothing can be skipped: the first windows
  // are the narrowest, doubling up to the width above once the top n is full.
  uint32_t window_size = std::min(largest, uint32_t{1} << kMinWindowShift);
  WindowScores& window = WindowScores::local(largest);
  // A sum of k rounded non-negative terms is within (k - 1) u of its exact
  // value: a bound sum times this slack covers any order of additions.
  const float slack = 1.0f + static_cast<float>(cursors.size() + 2) * 0x1p-22f;
  std::vector<Cursor<Source>*> order;
  order.reserve(cursors.size());
  ResultList candidates;
  std::vector<uint32_t> found;  // positions of candidates in a list
  // Skipping takes bound <= theta; below the floor means <= the float before it.
  const float floor = std::nextafter(score_floor(cursors, n, counters), -std::numeric_limits<float>::infinity());
  uint32_t next;
  while (next_document(cursors, next)) {
    if (top.full() && window_size < largest) window_size *= 2;
    const uint32_t w0 = next & ~(window_size - 1);
    const uint64_t w1 = uint64_t{w0} + window_size;
    const float theta = std::max(top.threshold(), floor);

    float total = 0.0f;
    order.clear();
    for (Cursor<Source>& c : cursors) {
      c.window_bound = 0.0f;
      if (c.done() || c.doc(c.pos) >= w1) continue;
      uint32_t b = c.pos >> kBlockShift;
      for (; b < c.blocks() && c.block_first(b) < w1; ++b) c.window_bound = std::max(c.window_bound, c.source.block_bound(b));
      // The list's last block in the window is searched for the window's end
      // whether or not it is read: fetch it now, with the other lists'.
      c.list->prefetch_block(b - 1);
      total += c.window_bound;
      c.window_block = c.pos >> kBlockShift;
      order.push_back(&c);
    }
    if (total * slack <= theta) {
      for (Cursor<Source>* c : order) c->seek(w1);
      continue;
    }
    std::sort(order.begin(), order.end(),
              [](const Cursor<Source>* a, const Cursor<Source>* b) { return a->window_bound < b->window_bound; });
    // Lists [0, essential) cannot lift a document over theta by themselves.
    size_t essential = 0;
    float non_essential = 0.0f;
    while (essential < order.size() && (non_essential + order[essential]->window_bound) * slack <= theta) {
      non_essential += order[essential++]->window_bound;
    }
    candidates.clear();
    if (essential + 1 == order.size()) {
      collect_candidates(*order.back(), order, w1, theta, slack, candidates, counters);
    } else {
      window.start();
      for (size_t i = essential; i < order.size(); ++i) {
        Cursor<Source>& c = *order[i];
        for (Cursor<Source>* other : order) other->probe_block = other->window_block;
        window.start_run();
        score_window(c, w0, w1, window, counters,
                     [&](uint32_t b) { return (c.source.block_bound(b) + others_bound(c, order, b)) * slack <= theta; });
      }
      // Lookups in the other lists move forward: candidates from two or
      // more lists are put in order first.
      if (essential > 0 && order.size() - essential > 1) window.sort();
      // A document that cannot beat theta with every other list's window
      // bound is no candidate.
      window.drain([&](uint32_t offset, float score) {
        if ((score + non_essential) * slack > theta) candidates.push_back(ResultPair{w0 + offset, score});
      });
    }
    // The other lists, largest bound first, each adding its weights to the
    // candidates. Where the list is dense next to them, its postings in the
    // window go through the table to every candidate, then the candidates
    // that cannot beat theta with the window bounds of the lists still to
    // come are dropped. Where the candidates are few, those that cannot beat
    // theta even with the list's bound at their document are dropped first,
    // then each remaining one is looked up.
    float rest = non_essential;
    for (size_t j = essential; j-- > 0 && !candidates.empty();) {
      Cursor<Source>& c = *order[j];
      rest -= c.window_bound;
      const uint32_t end = c.list->seek(c.pos, static_cast<uint32_t>(std::min<uint64_t>(w1, ~uint32_t{0})));
      if (end - c.pos <= kLookupCost * candidates.size()) {
        table_add(c, end, w0, window, candidates, counters);
        // Branch-free: whether a candidate stays is data, not a jump.
        size_t kept = 0;
        for (const ResultPair& candidate : candidates) {
          candidates[kept] = candidate;
          kept += (candidate.score + rest) * slack > theta;
        }
        candidates.resize(kept);
      } else {
        c.probe_block = c.window_block;
        c.forget_cached_block();
        size_t kept = 0;
        for (const ResultPair& candidate : candidates) {
          if ((candidate.score + c.bound_at(candidate.document) + rest) * slack > theta) candidates[kept++] = candidate;
        }
        candidates.resize(kept);
        if (!candidates.empty()) add_looked_up(c, candidates, found, counters);
      }
      c.pos = end;
    }
    for (const ResultPair& candidate : candidates) top.offer(candidate.document, candidate.score);
    for (size_t j = 0; j < essential; ++j) order[j]->seek(w1);
  }
  return top.take();
}

}  // namespace vantoro
