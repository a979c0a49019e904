// Ranking one query: accumulate one contribution per (distinct query token,
// document) posting, then keep the n best documents.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

struct ResultPair {
  NameId document;
  float score;
};

using Query = std::vector<std::string_view>;
using ResultList = std::vector<ResultPair>;

// Sums the weights stored by the last freeze; fails with
// "The index is not freezed" when there are none.
ResultList search_stored(const Index& index, const Query& query, size_t n);

// Computes every weight from the index as it is now.
ResultList search_on_the_fly(const Index& index, const Query& query, size_t n);

}  // namespace vantoro
