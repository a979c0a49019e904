// Engine-only timings (no interpreter): adding, freezing and searching a
// synthetic Zipf-like corpus, with the two query sets of the Python
// benchmarks. Every pruned result is checked against the exhaustive one.
//
//   engine_bench [documents] [--queries N] [--threads]
//
// Documents have 25 to 75 tokens drawn from a Zipf-Mandelbrot distribution
// (exponent 1.07, offset 2.7) over 200,000 words; identifiers are
// "doc-%08d" (12 bytes). Query sets:
//   current: 2 to 5 words from the same distribution without its 50 most
//            common ranks;
//   drawn:   1 to 4 words sampled from a random document, common ones kept.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "index/batch_search.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"

using namespace vantoro;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// This thread's processor time: unlike wall time it does not count the
// time other processes hold the core, which on a shared machine is noise.
double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Corpus {
  std::vector<std::string> words;
  std::vector<std::string> ids;
  std::vector<uint32_t> ranks;    // all documents' tokens, concatenated
  std::vector<size_t> offsets;    // document i is ranks[offsets[i], offsets[i + 1])
};

Corpus make_corpus(size_t documents, uint64_t seed) {
  const uint32_t vocabulary = 200000;
  Corpus c;
  c.words.resize(vocabulary);
  for (uint32_t i = 0; i < vocabulary; ++i) c.words[i] = "w" + std::to_string(i);
  c.ids.resize(documents);
  char id[32];
  for (size_t i = 0; i < documents; ++i) {
    std::snprintf(id, sizeof id, "doc-%08zu", i);
    c.ids[i] = id;
  }
  std::vector<double> cumulative(vocabulary);
  double sum = 0;
  for (uint32_t r = 0; r < vocabulary; ++r) cumulative[r] = (sum += std::pow(r + 2.7, -1.07));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::uniform_int_distribution<int> length(25, 75);
  c.offsets.push_back(0);
  for (size_t d = 0; d < documents; ++d) {
    const int n = length(rng);
    for (int k = 0; k < n; ++k) {
      c.ranks.push_back(static_cast<uint32_t>(
          std::lower_bound(cumulative.begin(), cumulative.end(), uniform(rng)) - cumulative.begin()));
    }
    c.offsets.push_back(c.ranks.size());
  }
  return c;
}

std::vector<Query> current_queries(const Corpus& c, size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Query> queries;
  std::uniform_int_distribution<int> words(2, 5);
  std::uniform_int_distribution<size_t> pick(0, c.ranks.size() - 1);
  for (size_t q = 0; q < count; ++q) {
    Query query;
    const int n = words(rng);
    while (static_cast<int>(query.size()) < n) {
      const uint32_t r = c.ranks[pick(rng)];
      if (r >= 50) query.push_back(c.words[r]);
    }
    queries.push_back(query);
  }
  return queries;
}

std::vector<Query> drawn_queries(const Corpus& c, size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Query> queries;
  std::uniform_int_distribution<int> words(1, 4);
  std::uniform_int_distribution<size_t> doc(0, c.ids.size() - 1);
  for (size_t q = 0; q < count; ++q) {
    const size_t d = doc(rng);
    const size_t begin = c.offsets[d];
    const size_t size = c.offsets[d + 1] - begin;
    std::uniform_int_distribution<size_t> at(0, size - 1);
    Query query;
    const int n = words(rng);
    for (int k = 0; k < n; ++k) query.push_back(c.words[c.ranks[begin + at(rng)]]);
    queries.push_back(query);
  }
  return queries;
}

// The process's anonymous memory in transparent huge pages.
std::string huge_pages() {
  FILE* f = std::fopen("/proc/self/smaps_rollup", "r");
  if (!f) return "huge pages unknown";
  char line[256];
  std::string found = "AnonHugePages unknown";
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "AnonHugePages:", 14) == 0) {
      found = line;
      found.erase(found.find_last_not_of(" \n") + 1);
    }
  }
  std::fclose(f);
  return found;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The pruned list must be the exhaustive one's first n, up to ties at the
// n-th score and a relative 2e-6 on scores.
bool same_ranking(const ResultList& pruned, const ResultList& full, size_t n) {
  const size_t expect = std::min(n, full.size());
  if (pruned.size() != expect) return false;
  auto close = [](float a, float b) { return std::fabs(a - b) <= 2e-6f * std::max(std::fabs(a), std::fabs(b)); };
  for (size_t i = 0; i < expect; ++i) {
    if (!close(pruned[i].score, full[i].score)) return false;
  }
  return true;
}

template <class Search>
void time_queries(const char* label, const std::vector<Query>& queries, Search&& search, double& mean_out) {
  std::vector<double> times;
  SearchCounters counters;
  for (const Query& q : queries) search(q, counters);  // warm
  counters = SearchCounters{};
  const double all = thread_seconds();
  for (const Query& q : queries) {
    const double start = thread_seconds();
    search(q, counters);
    times.push_back((thread_seconds() - start) * 1e6);
  }
  const double total = thread_seconds() - all;
  mean_out = total / static_cast<double>(queries.size()) * 1e6;
  std::fprintf(stderr, "  %-34s p50 %8.1f us  p99 %8.1f us  mean %8.1f us  %7.0f q/s  scored %5.2f%% of %.0f postings/query\n",
               label, percentile(times, 0.5), percentile(times, 0.99), mean_out,
               static_cast<double>(queries.size()) / total,
               100.0 * static_cast<double>(counters.scored) / static_cast<double>(std::max<uint64_t>(1, counters.listed)),
               static_cast<double>(counters.listed) / static_cast<double>(queries.size()));
}

}  // namespace

int main(int argc, char** argv) {
  size_t documents = 100000;
  size_t query_count = 1000;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--queries") && i + 1 < argc) {
      query_count = std::strtoull(argv[++i], nullptr, 10);
    } else {
      documents = std::strtoull(argv[i], nullptr, 10);
    }
  }
  const Corpus corpus = make_corpus(documents, 1);
  std::fprintf(stderr, "%zu documents, %zu tokens\n", documents, corpus.ranks.size());

  FILE* quiet = std::freopen("/dev/null", "w", stdout);  // progress lines
  (void)quiet;
  Index index;
  std::vector<std::string_view> tokens;
  auto start = Clock::now();
  for (size_t d = 0; d < documents; ++d) {
    tokens.clear();
    for (size_t k = corpus.offsets[d]; k < corpus.offsets[d + 1]; ++k) tokens.push_back(corpus.words[corpus.ranks[k]]);
    index.add_document(corpus.ids[d], tokens);
  }
  const double add = seconds_since(start);
  uint64_t postings = 0;
  for (NameId t = 0; t < index.token_name_count(); ++t) postings += index.postings(t).size();
  const size_t before_freeze = index.posting_bytes();

  std::vector<std::vector<Query>> sets{current_queries(corpus, query_count, 7), drawn_queries(corpus, query_count, 8)};
  const char* names[] = {"current", "drawn from documents"};
  // On the fly before any freeze: every weight computed from the postings.
  std::vector<double> unfrozen_mean(2);
  for (int set = 0; set < 2; ++set) {
    std::fprintf(stderr, "%s queries (%zu), top 10, never frozen:\n", names[set], sets[set].size());
    size_t mismatches = 0;
    for (const Query& q : sets[set]) {
      mismatches += !same_ranking(search_on_the_fly(index, q, 10),
                                  search_on_the_fly(index, q, 10, nullptr, Strategy::exhaustive), 10);
    }
    double unused = 0;
    time_queries("search_instance", sets[set],
                 [&](const Query& q, SearchCounters& c) { return search_on_the_fly(index, q, 10, &c); },
                 unfrozen_mean[set]);
    time_queries("search_instance, every posting", sets[set],
                 [&](const Query& q, SearchCounters& c) {
                   return search_on_the_fly(index, q, 10, &c, Strategy::exhaustive);
                 },
                 unused);
    if (mismatches) {
      std::fprintf(stderr, "  mismatches %zu\n", mismatches);
      return 1;
    }
  }

  start = Clock::now();
  freeze(index);
  const double frozen = seconds_since(start);
  std::fprintf(stderr, "add %.1f M tokens/s | freeze %.1f M postings/s | %.0f postings | lists %.2f B/posting before freeze, %.2f after\n",
               static_cast<double>(corpus.ranks.size()) / add / 1e6, static_cast<double>(postings) / frozen / 1e6,
               static_cast<double>(postings), static_cast<double>(before_freeze) / static_cast<double>(postings),
               static_cast<double>(index.posting_bytes()) / static_cast<double>(postings));

  // The first round after the caches were filled with other data, then the
  // same round again: what a first query costs when the index is cold.
  {
    std::vector<char> other(size_t{1} << 30);
    for (size_t i = 0; i < other.size(); i += 64) other[i] = static_cast<char>(i);
    const std::vector<Query> round = drawn_queries(corpus, 300, 9);
    double seconds[3];
    for (double& s : seconds) {
      const double t0 = thread_seconds();
      for (const Query& q : round) search_stored(index, q, 10);
      s = thread_seconds() - t0;
    }
    std::fprintf(stderr, "cold first round %.0f q/s, then %.0f and %.0f q/s; %s\n", 300 / seconds[0], 300 / seconds[1],
                 300 / seconds[2], huge_pages().c_str());
  }

  for (int set = 0; set < 2; ++set) {
    const std::vector<Query>& queries = sets[set];
    std::fprintf(stderr, "%s queries (%zu), top 10, frozen:\n", names[set], queries.size());
    size_t mismatches = 0;
    for (const Query& q : queries) {
      mismatches += !same_ranking(search_stored(index, q, 10), search_stored(index, q, 10, nullptr, Strategy::exhaustive), 10);
    }
    double stored_mean = 0, live_mean = 0, exhaustive_mean = 0;
    time_queries("search (stored)", queries,
                 [&](const Query& q, SearchCounters& c) { return search_stored(index, q, 10, &c); }, stored_mean);
    time_queries("search_instance (reuses them)", queries,
                 [&](const Query& q, SearchCounters& c) { return search_on_the_fly(index, q, 10, &c); }, live_mean);
    time_queries("search, every posting", queries,
                 [&](const Query& q, SearchCounters& c) {
                   return search_stored(index, q, 10, &c, Strategy::exhaustive);
                 },
                 exhaustive_mean);
    batch_search(index, queries, 10);  // starts the pool, warms
    start = Clock::now();
    for (int round = 0; round < 3; ++round) batch_search(index, queries, 10);
    const double batched = seconds_since(start) / 3;
    std::fprintf(stderr,
                 "  batch_search %.0f q/s | instance/search %.2f frozen, %.2f never frozen | pruned speed-up %.1fx | "
                 "mismatches %zu\n",
                 static_cast<double>(queries.size()) / batched, live_mean / stored_mean,
                 unfrozen_mean[set] / stored_mean, exhaustive_mean / stored_mean, mismatches);
    if (mismatches) return 1;
  }
  return 0;
}
