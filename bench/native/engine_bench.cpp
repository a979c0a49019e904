// Engine-only timings (no interpreter): adding, freezing and searching a
// synthetic Zipf-like corpus. Usage: engine_bench [documents] [tokens per doc]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/batch_search.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"

using namespace vantoro;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Draws ranks 1..vocabulary with probability proportional to rank^-s.
std::vector<uint32_t> zipf_ranks(size_t count, uint32_t vocabulary, double s, uint64_t seed) {
  std::vector<double> cumulative(vocabulary);
  double sum = 0;
  for (uint32_t r = 0; r < vocabulary; ++r) cumulative[r] = (sum += std::pow(r + 1.0, -s));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::vector<uint32_t> ranks(count);
  for (auto& r : ranks) r = static_cast<uint32_t>(std::lower_bound(cumulative.begin(), cumulative.end(), uniform(rng)) - cumulative.begin());
  return ranks;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t documents = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t per_doc = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50;
  const uint32_t vocabulary = 200000;
  std::vector<std::string> words(vocabulary);
  for (uint32_t i = 0; i < vocabulary; ++i) words[i] = "w" + std::to_string(i);
  std::vector<std::string> ids(documents);
  for (size_t i = 0; i < documents; ++i) ids[i] = "doc" + std::to_string(i);
  std::vector<uint32_t> ranks = zipf_ranks(documents * per_doc, vocabulary, 1.1, 42);

  FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  Index index;
  std::vector<std::string_view> tokens(per_doc);
  auto start = std::chrono::steady_clock::now();
  for (size_t d = 0; d < documents; ++d) {
    for (size_t k = 0; k < per_doc; ++k) tokens[k] = words[ranks[d * per_doc + k]];
    index.add_document(ids[d], tokens);
  }
  const double add = seconds_since(start);

  size_t postings = 0;
  for (NameId t = 0; t < index.token_name_count(); ++t) postings += index.token(t).postings.size();
  start = std::chrono::steady_clock::now();
  freeze(index);
  const double frozen = seconds_since(start);

  std::vector<uint32_t> query_ranks = zipf_ranks(3000, vocabulary, 1.1, 7);
  start = std::chrono::steady_clock::now();
  size_t results = 0;
  for (size_t q = 0; q < 1000; ++q) {
    Query query{words[query_ranks[3 * q]], words[query_ranks[3 * q + 1]], words[query_ranks[3 * q + 2]]};
    results += search_stored(index, query, 10).size();
  }
  const double stored = seconds_since(start);
  start = std::chrono::steady_clock::now();
  for (size_t q = 0; q < 1000; ++q) {
    Query query{words[query_ranks[3 * q]], words[query_ranks[3 * q + 1]], words[query_ranks[3 * q + 2]]};
    results += search_on_the_fly(index, query, 10).size();
  }
  const double fly = seconds_since(start);

  std::vector<Query> batch;
  for (size_t q = 0; q < 1000; ++q) batch.push_back(Query{words[query_ranks[3 * q]], words[query_ranks[3 * q + 1]], words[query_ranks[3 * q + 2]]});
  batch_search(index, batch, 10);  // starts the pool
  start = std::chrono::steady_clock::now();
  for (int round = 0; round < 3; ++round) results += batch_search(index, batch, 10).size();
  const double batched = seconds_since(start) / 3;

  std::fprintf(stderr, "batch %.0f queries/s | ", 1000 / batched);
  std::fprintf(stderr, "add %.1f M tokens/s | freeze %.1f M postings/s | search %.1f us | search_instance %.1f us (%zu results)\n",
               documents * per_doc / add / 1e6, postings / frozen / 1e6, stored * 1e3, fly * 1e3, results);
  return 0;
}
