#include "index/batch_search.hpp"

#include "index/worker_pool.hpp"

namespace vantoro {

std::vector<ResultList> batch_search(const Index& index, const std::vector<Query>& queries, size_t n) {
  const bool stored = index.frozen_any();
  auto answer = [&](const Query& q) { return stored ? search_stored(index, q, n) : search_on_the_fly(index, q, n); };

  WorkerPool& pool = WorkerPool::global();
  std::vector<ResultList> results(queries.size());
  if (queries.size() <= 1) {
    for (size_t i = 0; i < queries.size(); ++i) results[i] = answer(queries[i]);
    return results;
  }
  pool.run(queries.size(), [&](size_t i) { results[i] = answer(queries[i]); });
  return results;
}

}  // namespace vantoro
