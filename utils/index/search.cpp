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

// Whether skipping is likely to pay: it does where most postings belong to
// lists that contribute little next to the others (common tokens: a low
// bound), or where a list is long enough that its blocks can be skipped
// wholesale. Lists of middling length and similar bounds are read faster in
// full. (The thresholds were fitted on synthetic corpora of 100,000 and
// 1,000,000 documents with both benchmark query sets: the choice costs at
// most 12 % over always picking the faster way.)
template <class Source>
bool pruning_pays(const std::vector<Cursor<Source>>& cursors, size_t n, uint64_t documents, uint64_t postings) {
  if (cursors.size() == 1) return true;
  // The score floor reads short lists whole: where they hold half the
  // query's postings or more (small indexes, rare tokens), pruning cannot
  // save what it costs.
  uint64_t read_whole = 0;
  for (const Cursor<Source>& c : cursors) read_whole += c.size() >= n && c.size() <= kFloorListMax ? c.size() : 0;
  if (read_whole * 2 >= postings) return false;
  float top = 0.0f;
  uint32_t longest = 0;
  for (const Cursor<Source>& c : cursors) {
    top = std::max(top, c.source.list_bound());
    longest = std::max(longest, c.size());
  }
  if (uint64_t{longest} * 10 >= documents) return true;
  uint64_t low = 0;
  for (const Cursor<Source>& c : cursors) low += c.source.list_bound() <= 0.5f * top ? c.size() : 0;
  return low * 10 >= postings * 8;
}

// Pruning is exact only where every contribution is a finite, non-negative
// number, and useful only where fewer than all candidates are wanted.
// `check_nan`: a score can be NaN (an irregular index or stored weights).
template <class Source>
ResultList rank(std::vector<Cursor<Source>>& cursors, size_t n, bool prunable, bool check_nan,
                uint64_t documents, SearchCounters* counters) {
  SearchCounters local;
  for (const Cursor<Source>& c : cursors) local.listed += c.size();
  ResultList results;
  if (cursors.empty()) {
    // Nothing to rank.
  } else if (!prunable || n >= local.listed || !pruning_pays(cursors, n, documents, local.listed)) {
    results = exhaustive_search(cursors, n, check_nan, documents, local);
  } else if (n > 0) {
    results = pruned_search(cursors, n, documents, local);
  }
  if (counters) {
    counters->listed += local.listed;
    counters->scored += local.scored;
  }
  return results;
}

}  // namespace

WindowScores& WindowScores::local(uint32_t size) {
  // Allocated on a thread's first search and freed when the thread ends.
  thread_local WindowScores scores;
  scores.reserve(size);
  return scores;
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
              index.document_name_count(), counters);
}

ResultList search_on_the_fly(const Index& index, const Query& query, size_t n, SearchCounters* counters,
                             Strategy strategy) {
  // Unchanged since the last freeze, the index would give every posting the
  // weight stored for it, bit for bit: use those.
  if (index.weights_current()) return search_stored(index, query, n, counters, strategy);
  const uint64_t documents = index.document_count();
  const LiveWeights::Context context{index.length_table(), average_length(index.total_length(), documents),
                                     index.k1(), index.b(), documents, !index.regular()};
  // A regular index has a positive finite average once it has a posting.
  const bool exact_numbers = index.regular() && context.avg > 0.0f && std::isfinite(context.avg);
  const bool prune = exact_numbers && strategy == Strategy::automatic;
  std::vector<Cursor<LiveWeights>> cursors;
  for (NameId t : distinct_tokens(index, query)) {
    const PostingList& list = index.postings(t);
    cursors.push_back(Cursor<LiveWeights>{&list, LiveWeights(list, context, prune)});
  }
  return rank(cursors, n, prune, !exact_numbers, index.document_name_count(), counters);
}

}  // namespace vantoro
