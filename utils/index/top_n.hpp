// Turns accumulated scores into the ranked result list.
#pragma once

#include <cstddef>

#include "index/score_accumulator.hpp"
#include "index/search.hpp"

namespace vantoro {

// Every touched document is a candidate; the n greatest scores are returned,
// best first. With two or more candidates a NaN score cannot be ordered and
// fails the call.
ResultList top_n(const ScoreAccumulator& scores, size_t n);

}  // namespace vantoro
