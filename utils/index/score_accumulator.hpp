// Per-thread score table over document ids. A generation stamp marks which
// entries belong to the current query, so a query touches only the documents
// its postings reach and never clears the whole table.
#pragma once

#include <cstdint>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

class ScoreAccumulator {
 public:
  // Starts a query over `documents` document ids.
  void start(uint32_t documents);

  void add(NameId d, float w) {
    Cell& cell = cells_[d];
    if (cell.stamp != stamp_) {
      cell.stamp = stamp_;
      cell.score = 0.0f;
      touched_.push_back(d);
    }
    cell.score = w + cell.score;
  }

  const std::vector<NameId>& touched() const { return touched_; }
  float score(NameId d) const { return cells_[d].score; }

  // The accumulator of the calling thread.
  static ScoreAccumulator& local();

 private:
  struct Cell {
    float score;
    uint32_t stamp;
  };
  std::vector<Cell> cells_;
  std::vector<NameId> touched_;
  uint32_t stamp_ = 0;
};

}  // namespace vantoro
