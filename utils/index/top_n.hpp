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
  explicit TopN(size_t n)
      : n_(n), threshold_(n == 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity()) {
    heap_.reserve(n < 4096 ? n : 4096);
  }

  bool full() const { return heap_.size() >= n_; }
  // The n-th best score once n candidates were seen, else -infinity (and
  // +infinity when n is 0: nothing enters).
  float threshold() const { return threshold_; }
  void offer(NameId document, float score) {
    if (score > threshold_ || !full()) insert(document, score);
  }
  // The candidates kept, best first.
  ResultList take();

 private:
  void insert(NameId document, float score);
  size_t n_;
  float threshold_;
  ResultList heap_;
};

}  // namespace vantoro
