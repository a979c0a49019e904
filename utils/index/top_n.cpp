#include "index/top_n.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"

namespace vantoro {
namespace {

bool better(const ResultPair& a, const ResultPair& b) { return a.score > b.score; }

}  // namespace

void TopN::offer(NameId document, float score) {
  if (heap_.size() < n_) {
    heap_.push_back(ResultPair{document, score});
    std::push_heap(heap_.begin(), heap_.end(), better);
  } else if (score > heap_.front().score) {
    std::pop_heap(heap_.begin(), heap_.end(), better);
    heap_.back() = ResultPair{document, score};
    std::push_heap(heap_.begin(), heap_.end(), better);
  }
}

ResultList TopN::take() {
  std::sort(heap_.begin(), heap_.end(), better);
  return std::move(heap_);
}

ResultList rank_all(ResultList candidates, size_t n) {
  // A full sort compares every score at least once when there are two or
  // more, so a NaN among them fails.
  if (candidates.size() >= 2) {
    for (const ResultPair& c : candidates) {
      if (std::isnan(c.score)) throw Fault(kMissingValue);
    }
  }
  if (n < candidates.size()) {
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<ptrdiff_t>(n), candidates.end(), better);
    candidates.resize(n);
  }
  std::sort(candidates.begin(), candidates.end(), better);
  return candidates;
}

}  // namespace vantoro
