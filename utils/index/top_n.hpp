// Turning scored candidates into the ranked result list.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

struct ResultPair {
  NameId document;
  float score;
};

using ResultList = std::vector<ResultPair>;

// The n best candidates seen so far, in a min-heap: one comparison per
// candidate once full. Its threshold is the score a candidate must beat.
class TopN {
 public:
  explicit TopN(size_t n) : n_(n) { heap_.reserve(n < 4096 ? n : 4096); }

  bool full() const { return heap_.size() >= n_; }
  // The n-th best score once n candidates were seen, else -infinity.
  float threshold() const { return full() ? heap_.front().score : -std::numeric_limits<float>::infinity(); }
  void offer(NameId document, float score);
  // The candidates kept, best first.
  ResultList take();

 private:
  size_t n_;
  ResultList heap_;
};

// Ranks every candidate: the n greatest scores, best first. With two or
// more candidates a NaN score cannot be ordered and fails the call; a single
// candidate is never compared.
ResultList rank_all(ResultList candidates, size_t n);

}  // namespace vantoro
