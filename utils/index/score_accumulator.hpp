// Per-thread score table over document ids. A generation stamp marks which
// entries belong to the current query, so a query touches only the documents
// its postings reach and never clears the whole table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

class ScoreAccumulator {
 public:
  // Starts a query over `documents` document ids.
  void start(uint32_t documents);

  // Adds contribution w to document d (a new candidate starts from 0.0).
  // Branch-free: whether d is new is data, not a jump, so long posting lists
  // that mix new and seen documents cost no mispredictions.
  void add(NameId d, float w) {
    Cell& cell = cells_[d];
    const bool fresh = cell.stamp != stamp_;
    const float base = fresh ? 0.0f : cell.score;
    cell.score = w + base;
    cell.stamp = stamp_;
    touched_[touched_count_] = d;
    touched_count_ += fresh;
  }

  std::span<const NameId> touched() const { return {touched_.data(), touched_count_}; }
  float score(NameId d) const { return cells_[d].score; }

  // The accumulator of the calling thread.
  static ScoreAccumulator& local();

 private:
  struct Cell {
    float score;
    uint32_t stamp;
  };
  std::vector<Cell> cells_;
  std::vector<NameId> touched_;  // room for every document; the first touched_count_ are used
  size_t touched_count_ = 0;
  uint32_t stamp_ = 0;
};

}  // namespace vantoro
