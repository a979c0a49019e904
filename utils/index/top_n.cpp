#include "index/top_n.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"

namespace vantoro {
namespace {

bool better(const ResultPair& a, const ResultPair& b) { return a.score > b.score; }

// Keeps the n best of many candidates in a min-heap: one comparison per
// candidate once the heap is full, with no copy of the whole candidate set.
ResultList best_by_heap(const ScoreAccumulator& scores, size_t n, bool refuse_nan) {
  ResultList heap;
  heap.reserve(n);
  for (NameId d : scores.touched()) {
    const float s = scores.score(d);
    if (refuse_nan && std::isnan(s)) throw Fault(kMissingValue);
    if (heap.size() < n) {
      heap.push_back(ResultPair{d, s});
      std::push_heap(heap.begin(), heap.end(), better);
    } else if (s > heap.front().score) {
      std::pop_heap(heap.begin(), heap.end(), better);
      heap.back() = ResultPair{d, s};
      std::push_heap(heap.begin(), heap.end(), better);
    }
  }
  std::sort(heap.begin(), heap.end(), better);
  return heap;
}

}  // namespace

ResultList top_n(const ScoreAccumulator& scores, size_t n) {
  const std::span<const NameId> touched = scores.touched();
  // A full sort compares every score at least once when there are two or
  // more, so a NaN among them fails; a single candidate is never compared.
  const bool refuse_nan = touched.size() >= 2;
  if (n > 0 && n <= touched.size() / 8) return best_by_heap(scores, n, refuse_nan);

  ResultList results;
  results.reserve(touched.size());
  for (NameId d : touched) {
    const float s = scores.score(d);
    if (refuse_nan && std::isnan(s)) throw Fault(kMissingValue);
    results.push_back(ResultPair{d, s});
  }
  if (n < results.size()) {
    std::nth_element(results.begin(), results.begin() + static_cast<ptrdiff_t>(n), results.end(), better);
    results.resize(n);
  }
  std::sort(results.begin(), results.end(), better);
  return results;
}

}  // namespace vantoro
