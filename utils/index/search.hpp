// Ranking one query: one contribution per (distinct query token, document)
// posting, summed per document; the n best documents are returned.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "index/top_n.hpp"
#include "index/window_search.hpp"

namespace vantoro {

using Query = std::vector<std::string_view>;

// How a search may go about it: skipping what cannot reach the top n where
// that is exact (the default), or visiting every posting (for checks).
enum class Strategy { automatic, exhaustive };

// Sums the weights stored by the last freeze; fails with
// "The index is not freezed" when there are none.
ResultList search_stored(const Index& index, const Query& query, size_t n, SearchCounters* counters = nullptr,
                         Strategy strategy = Strategy::automatic);

// Computes every weight from the index as it is now.
ResultList search_on_the_fly(const Index& index, const Query& query, size_t n, SearchCounters* counters = nullptr,
                             Strategy strategy = Strategy::automatic);

}  // namespace vantoro
