#include "index/search.hpp"

#include <algorithm>

#include "fault.hpp"
#include "index/bm25.hpp"
#include "index/weight_source.hpp"

namespace vantoro {
namespace {

// The query's distinct tokens that the token map holds with postings.
std::vector<NameId> distinct_tokens(const Index& index, const Query& query) {
  std::vector<NameId> ids;
  ids.reserve(query.size());
  for (std::string_view token : query) {
    NameId t = index.find_token(token);
    if (t != StringTable::kAbsent && index.token_present(t) && !index.postings(t).empty()) ids.push_back(t);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// Pruning pays and is exact only where every contribution is a finite,
// non-negative number and fewer than all candidates are wanted.
// `check_nan`: a score can be NaN (an irregular index or stored weights).
template <class Source>
ResultList rank(std::vector<Cursor<Source>>& cursors, size_t n, bool prunable, bool check_nan,
                SearchCounters* counters) {
  SearchCounters local;
  for (const Cursor<Source>& c : cursors) local.listed += c.size();
  ResultList results;
  if (cursors.empty()) {
    // Nothing to rank.
  } else if (!prunable || n >= local.listed) {
    results = exhaustive_search(cursors, n, check_nan, local);
  } else if (n > 0) {
    results = pruned_search(cursors, n, local);
  }
  if (counters) {
    counters->listed += local.listed;
    counters->scored += local.scored;
  }
  return results;
}

}  // namespace

WindowScores& WindowScores::local() {
  // Allocated on a thread's first search and freed when the thread ends.
  thread_local std::unique_ptr<WindowScores> scores;
  if (!scores) scores = std::make_unique<WindowScores>();
  return *scores;
}

ResultList search_stored(const Index& index, const Query& query, size_t n, SearchCounters* counters,
                         Strategy strategy) {
  if (!index.frozen_any()) throw Fault("The index is not freezed");
  std::vector<Cursor<StoredWeights>> cursors;
  for (NameId t : distinct_tokens(index, query)) {
    const PostingList& list = index.postings(t);
    cursors.push_back(Cursor<StoredWeights>{&list, StoredWeights(list)});
  }
  return rank(cursors, n, index.weights_prunable() && strategy == Strategy::automatic, !index.weights_prunable(),
              counters);
}

ResultList search_on_the_fly(const Index& index, const Query& query, size_t n, SearchCounters* counters,
                             Strategy strategy) {
  const uint64_t documents = index.document_count();
  const LiveWeights::Context context{index.length_table(), average_length(index.total_length(), documents),
                                     index.k1(), index.b(), documents, !index.regular()};
  std::vector<Cursor<LiveWeights>> cursors;
  for (NameId t : distinct_tokens(index, query)) {
    const PostingList& list = index.postings(t);
    cursors.push_back(Cursor<LiveWeights>{&list, LiveWeights(list, context)});
  }
  // A regular index has a positive finite average once it has a posting.
  const bool exact_numbers = index.regular() && context.avg > 0.0f && std::isfinite(context.avg);
  return rank(cursors, n, exact_numbers && strategy == Strategy::automatic, !exact_numbers, counters);
}

}  // namespace vantoro
