// Ranking one query over the posting lists of its distinct tokens.
//
// Documents are visited in windows of kWindow consecutive ids. In each
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
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "index/posting_list.hpp"
#include "index/top_n.hpp"

namespace vantoro {

inline constexpr uint32_t kWindowShift = 12;
inline constexpr uint32_t kWindow = uint32_t{1} << kWindowShift;

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
  bool in_window = false;

  uint32_t size() const { return list->size(); }
  uint32_t doc(uint32_t i) const { return list->docs()[i]; }
  bool done() const { return pos >= list->size(); }
  uint32_t blocks() const { return block_count(list->size()); }
  uint32_t block_first(uint32_t b) const {
    return b < list->full_blocks() ? list->block(b).first_doc : list->docs()[b << kBlockShift];
  }
  // Moves past every posting whose document is below `doc`.
  void seek(uint64_t doc) {
    pos = doc > std::numeric_limits<uint32_t>::max() ? size() : list->seek(pos, static_cast<uint32_t>(doc));
  }
};

// Scores of one window, with a bit per document that has one.
class WindowScores {
 public:
  WindowScores() {
    std::memset(scores_, 0, sizeof scores_);
    std::memset(bits_, 0, sizeof bits_);
  }
  void add(uint32_t offset, float w) {
    scores_[offset] += w;
    bits_[offset >> 6] |= uint64_t{1} << (offset & 63);
  }
  // Calls visit(offset, score) for each document in ascending order and
  // clears the window.
  template <class Visit>
  void drain(Visit&& visit) {
    for (uint32_t word = 0; word < kWindow / 64; ++word) {
      uint64_t bits = bits_[word];
      if (!bits) continue;
      bits_[word] = 0;
      do {
        const uint32_t offset = word * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
        const float score = scores_[offset];
        scores_[offset] = 0.0f;
        visit(offset, score);
        bits &= bits - 1;
      } while (bits);
    }
  }

 private:
  float scores_[kWindow];
  uint64_t bits_[kWindow / 64];
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

// Adds postings [c.pos, first document >= window_end) of one list to the
// window, skipping blocks that `skip(block)` rules out, and moves past them.
template <class Source, class Skip>
void score_window(Cursor<Source>& c, uint32_t window_begin, uint64_t window_end, WindowScores& window,
                  SearchCounters& counters, Skip&& skip) {
  float weights[kBlockSize];
  const uint32_t* docs = c.list->docs();
  const uint32_t size = c.size();
  for (uint32_t b = c.pos >> kBlockShift; b < c.blocks() && c.block_first(b) < window_end; ++b) {
    if (skip(b)) continue;
    const uint32_t begin = std::max(c.pos, b << kBlockShift);
    const uint32_t block_end = std::min(size, (b + 1) << kBlockShift);
    const uint32_t end = static_cast<uint32_t>(
        std::lower_bound(docs + begin, docs + block_end, window_end, [](uint32_t d, uint64_t e) { return d < e; }) -
        docs);
    c.source.fill(begin, end, weights);
    counters.scored += end - begin;
    for (uint32_t i = begin; i < end; ++i) window.add(docs[i] - window_begin, weights[i - begin]);
  }
  c.seek(window_end);
}

// Every candidate with its exact score, for rank_all.
template <class Source>
ResultList exhaustive_search(std::vector<Cursor<Source>>& cursors, size_t n, SearchCounters& counters) {
  ResultList all;
  WindowScores window;
  uint32_t next;
  while (next_document(cursors, next)) {
    const uint32_t w0 = next & ~(kWindow - 1);
    const uint64_t w1 = uint64_t{w0} + kWindow;
    for (Cursor<Source>& c : cursors) {
      score_window(c, w0, w1, window, counters, [](uint32_t) { return false; });
    }
    window.drain([&](uint32_t offset, float score) { all.push_back(ResultPair{w0 + offset, score}); });
  }
  return rank_all(std::move(all), n);
}

// One list: no merging, only blocks that can still enter the top n.
template <class Source>
ResultList single_list_search(Cursor<Source>& c, size_t n, SearchCounters& counters) {
  TopN top(n);
  float weights[kBlockSize];
  const uint32_t* docs = c.list->docs();
  for (uint32_t b = 0; b < c.blocks(); ++b) {
    if (c.source.block_bound(b) <= top.threshold()) continue;
    const uint32_t begin = b << kBlockShift;
    const uint32_t end = std::min(c.size(), begin + kBlockSize);
    c.source.fill(begin, end, weights);
    counters.scored += end - begin;
    const float threshold = top.threshold();
    for (uint32_t i = begin; i < end; ++i) {
      if (weights[i - begin] > threshold || !top.full()) top.offer(docs[i], weights[i - begin]);
    }
  }
  return top.take();
}

template <class Source>
ResultList pruned_search(std::vector<Cursor<Source>>& cursors, size_t n, SearchCounters& counters) {
  if (cursors.size() == 1) return single_list_search(cursors[0], n, counters);
  TopN top(n);
  WindowScores window;
  // A sum of k rounded non-negative terms is within (k - 1) u of its exact
  // value: a bound sum times this slack covers any order of additions.
  const float slack = 1.0f + static_cast<float>(cursors.size() + 2) * 0x1p-22f;
  std::vector<Cursor<Source>*> order;
  order.reserve(cursors.size());
  uint32_t next;
  while (next_document(cursors, next)) {
    const uint32_t w0 = next & ~(kWindow - 1);
    const uint64_t w1 = uint64_t{w0} + kWindow;
    const float theta = top.threshold();

    float total = 0.0f;
    order.clear();
    for (Cursor<Source>& c : cursors) {
      c.in_window = !c.done() && c.doc(c.pos) < w1;
      c.window_bound = 0.0f;
      if (!c.in_window) continue;
      for (uint32_t b = c.pos >> kBlockShift; b < c.blocks() && c.block_first(b) < w1; ++b) {
        c.window_bound = std::max(c.window_bound, c.source.block_bound(b));
      }
      total += c.window_bound;
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
    for (size_t i = essential; i < order.size(); ++i) {
      Cursor<Source>& c = *order[i];
      const float others = total - c.window_bound;
      score_window(c, w0, w1, window, counters,
                   [&](uint32_t b) { return (c.source.block_bound(b) + others) * slack <= theta; });
    }
    window.drain([&](uint32_t offset, float score) {
      const uint32_t doc = w0 + offset;
      float rest = non_essential;
      for (size_t j = essential; j-- > 0;) {
        if ((score + rest) * slack <= top.threshold()) return;
        Cursor<Source>& c = *order[j];
        rest -= c.window_bound;
        c.seek(doc);
        if (!c.done() && c.doc(c.pos) == doc) {
          score += c.source.weight(c.pos);
          ++counters.scored;
        }
      }
      top.offer(doc, score);
    });
    for (size_t j = 0; j < essential; ++j) order[j]->seek(w1);
  }
  return top.take();
}

}  // namespace vantoro
