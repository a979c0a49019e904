#include "index/score_accumulator.hpp"

namespace vantoro {

void ScoreAccumulator::start(uint32_t documents) {
  if (cells_.size() < documents) {
    cells_.resize(documents, Cell{0.0f, stamp_});
    touched_.resize(size_t{documents} + 1);  // add() writes one past the last candidate
  }
  touched_count_ = 0;
  if (++stamp_ == 0) {
    for (Cell& cell : cells_) cell.stamp = 0;
    stamp_ = 1;
  }
}

ScoreAccumulator& ScoreAccumulator::local() {
  thread_local ScoreAccumulator accumulator;
  return accumulator;
}

}  // namespace vantoro
