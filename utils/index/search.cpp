#include "index/search.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"
#include "index/bm25.hpp"
#include "index/score_accumulator.hpp"
#include "index/top_n.hpp"

namespace vantoro {
namespace {

// The query's distinct tokens that the token map holds.
std::vector<NameId> distinct_tokens(const Index& index, const Query& query) {
  std::vector<NameId> ids;
  ids.reserve(query.size());
  for (std::string_view token : query) {
    NameId t = index.find_token(token);
    if (t != StringTable::kAbsent && index.token_present(t)) ids.push_back(t);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

}  // namespace

ResultList search_stored(const Index& index, const Query& query, size_t n) {
  const FrozenWeights& frozen = index.frozen();
  if (!frozen.any) throw Fault("The index is not freezed");

  ScoreAccumulator& scores = ScoreAccumulator::local();
  scores.start(index.document_name_count());
  for (NameId t : distinct_tokens(index, query)) {
    const std::vector<Posting>& list = index.token(t).postings;
    const size_t weighted = std::min<size_t>(t < frozen.size.size() ? frozen.size[t] : 0, list.size());
    const float* w = weighted ? frozen.weights.data() + frozen.begin[t] : nullptr;
    for (size_t i = 0; i < weighted; ++i) scores.add(list[i].id, w[i]);
    // Postings added after the freeze have no stored weight.
    for (size_t i = weighted; i < list.size(); ++i) scores.add(list[i].id, 0.0f);
  }
  return top_n(scores, n);
}

ResultList search_on_the_fly(const Index& index, const Query& query, size_t n) {
  const uint64_t documents = index.document_count();
  const float avg = average_length(index.total_length(), documents);
  const float k1 = index.k1();
  const float b = index.b();
  const float* lengths = index.length_table().data();

  ScoreAccumulator& scores = ScoreAccumulator::local();
  scores.start(index.document_name_count());
  // Weights are computed a block at a time: the gather of lengths and counts
  // is separate from the arithmetic, which the compiler then runs on vector
  // registers (same single-precision operations, same results).
  constexpr size_t kBlock = 256;
  float dl[kBlock];
  int32_t tf[kBlock];
  float w[kBlock];
  for (NameId t : distinct_tokens(index, query)) {
    const std::vector<Posting>& list = index.token(t).postings;
    if (list.empty()) continue;
    const float factor = idf_factor(documents, list.size());
    for (size_t begin = 0; begin < list.size(); begin += kBlock) {
      const size_t size = std::min(kBlock, list.size() - begin);
      const Posting* block = list.data() + begin;
      bool missing = false;
      for (size_t i = 0; i < size; ++i) {
        dl[i] = lengths[block[i].id];
        tf[i] = block[i].count;
        missing |= std::isnan(dl[i]);
      }
      // A token that lists a document the index lacks fails the call; the
      // partial scores are discarded with it.
      if (missing) throw Fault(kMissingValue);
      for (size_t i = 0; i < size; ++i) w[i] = token_weight(k1, b, factor, tf[i], dl[i], avg);
      for (size_t i = 0; i < size; ++i) scores.add(block[i].id, w[i]);
    }
  }
  return top_n(scores, n);
}

}  // namespace vantoro
