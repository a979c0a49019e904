#include "index/top_n.hpp"

#include <algorithm>

namespace vantoro {
namespace {

bool better(const ResultPair& a, const ResultPair& b) { return a.score > b.score; }

}  // namespace

void TopN::insert(NameId document, float score) {
  if (n_ == 0) return;
  if (heap_.size() < n_) {
    heap_.push_back(ResultPair{document, score});
    std::push_heap(heap_.begin(), heap_.end(), better);
  } else {
    std::pop_heap(heap_.begin(), heap_.end(), better);
    heap_.back() = ResultPair{document, score};
    std::push_heap(heap_.begin(), heap_.end(), better);
  }
  if (heap_.size() == n_) threshold_ = heap_.front().score;
}

ResultList TopN::take() {
  std::sort(heap_.begin(), heap_.end(), better);
  return std::move(heap_);
}

}  // namespace vantoro
