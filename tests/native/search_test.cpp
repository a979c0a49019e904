// Skipping by bounds must not change what a search returns: on random
// corpora, every pruned top n is the exhaustive ranking's first n, up to
// ties at the n-th score and a relative 2e-6 on scores.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "check.hpp"
#include "index/batch_search.hpp"
#include "index/builder.hpp"
#include "index/document_maps.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"
#include "index/weight_bound.hpp"

using namespace vantoro;

namespace {

std::string word(uint32_t rank) {
  std::string w("w");
  w.append(std::to_string(rank));
  return w;
}

constexpr size_t kAll = ~size_t{0};

bool close(float a, float b) { return std::fabs(a - b) <= 2e-6f * std::max(std::fabs(a), std::fabs(b)); }

// The pruned list against the exhaustive one: same length, same scores
// rank by rank, and every document outside a tie group is the same.
// `full` is the whole exhaustive ranking.
bool agrees(const Index& ix, const ResultList& pruned, const ResultList& full, size_t n) {
  const size_t expect = std::min(n, full.size());
  if (pruned.size() != expect) return false;
  for (size_t i = 0; i < expect; ++i) {
    if (!close(pruned[i].score, full[i].score)) {
      std::fprintf(stderr, "rank %zu: %s %.9g, expected %s %.9g\n", i, std::string(ix.document_name(pruned[i].document)).c_str(),
                   pruned[i].score, std::string(ix.document_name(full[i].document)).c_str(), full[i].score);
      return false;
    }
    // A pruned document must carry its own exact score.
    bool found = false;
    for (const ResultPair& r : full) found |= r.document == pruned[i].document && close(r.score, pruned[i].score);
    if (!found) return false;
  }
  return true;
}

// Documents of 1 to `max_length` tokens over a skewed vocabulary; every
// tenth document is a copy of an earlier one (ties).
void add_random(Index& ix, std::mt19937_64& rng, int documents, int first_id, int max_length, uint32_t vocabulary) {
  std::geometric_distribution<uint32_t> rank(0.05);
  std::uniform_int_distribution<int> length(1, max_length);
  std::vector<std::vector<std::string>> added;
  for (int i = 0; i < documents; ++i) {
    std::vector<std::string> tokens;
    if (i % 10 == 9 && !added.empty()) {
      tokens = added[rng() % added.size()];
    } else {
      const int n = length(rng);
      for (int k = 0; k < n; ++k) tokens.push_back(word(rank(rng) % vocabulary));
    }
    std::vector<std::string_view> views(tokens.begin(), tokens.end());
    std::string id("doc-");
    id.append(std::to_string(first_id + i));
    ix.add_document(id, views);
    added.push_back(std::move(tokens));
  }
}

std::vector<Query> random_queries(std::mt19937_64& rng, uint32_t vocabulary, std::vector<std::string>& storage) {
  std::geometric_distribution<uint32_t> rank(0.08);
  storage.clear();
  storage.reserve(150 * 6);
  std::vector<Query> queries;
  for (int q = 0; q < 150; ++q) {
    Query query;
    const int n = 1 + static_cast<int>(rng() % 5);
    for (int k = 0; k < n; ++k) {
      storage.push_back(word(rank(rng) % (vocabulary + 20)));  // some unknown words
      query.push_back(storage.back());
    }
    queries.push_back(query);
  }
  return queries;
}

int check_all(const Index& ix, const std::vector<Query>& queries) {
  int failures = 0;
  for (const Query& q : queries) {
    const ResultList stored = ix.frozen_any() ? search_stored(ix, q, kAll, nullptr, Strategy::exhaustive) : ResultList{};
    const ResultList live = search_on_the_fly(ix, q, kAll, nullptr, Strategy::exhaustive);
    for (size_t n : {1, 3, 10, 100}) {
      if (ix.frozen_any() && !agrees(ix, search_stored(ix, q, n), stored, n)) ++failures;
      if (!agrees(ix, search_on_the_fly(ix, q, n), live, n)) ++failures;
    }
  }
  return failures;
}

}  // namespace

TEST(pruned_search_equals_exhaustive_on_random_corpora) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    std::mt19937_64 rng(seed);
    Index ix;
    // Enough documents for several windows and many blocks per list.
    const int documents = seed % 2 ? 3000 : 12000;
    add_random(ix, rng, documents, 0, seed % 3 == 0 ? 200 : 30, 300);
    std::vector<std::string> storage;
    const std::vector<Query> queries = random_queries(rng, 300, storage);
    CHECK_EQ(check_all(ix, queries), 0);
    freeze(ix);
    CHECK_EQ(check_all(ix, queries), 0);
    // Stale: documents added after the freeze have no stored weight.
    add_random(ix, rng, documents / 3, documents, 40, 320);
    CHECK_EQ(check_all(ix, queries), 0);
  }
}

// A block of a sparse list spans many blocks of a dense one, whose bound
// over it then comes from groups of blocks or the window. The dense token
// is in 40 % of the documents and counts 1 there, except in a few that
// also hold the sparse token, so
// that its block bounds differ and those documents make the top n.
TEST(sparse_list_beside_a_dense_one) {
  std::mt19937_64 rng(17);
  Index ix;
  for (int i = 0; i < 40000; ++i) {
    std::vector<std::string> tokens(i % 265 == 0 ? 20 + rng() % 20 : i % 5 < 2 ? 1 : 0, "dense");
    if (i % 53 == 0) tokens.insert(tokens.end(), 1 + rng() % 3, "sparse");
    if (i % 7 == 0) tokens.push_back("mid");
    for (int k = static_cast<int>(rng() % 20); k > 0; --k) tokens.push_back(word(100 + static_cast<uint32_t>(rng() % 50)));
    std::vector<std::string_view> views(tokens.begin(), tokens.end());
    ix.add_document("doc-" + std::to_string(i), views);
  }
  const std::vector<Query> queries = {{"dense", "sparse"}, {"sparse", "dense", "mid"}, {"mid", "dense"}};
  CHECK_EQ(check_all(ix, queries), 0);
  freeze(ix);
  CHECK_EQ(check_all(ix, queries), 0);
}

TEST(batch_search_prunes_like_search) {
  std::mt19937_64 rng(99);
  Index ix;
  add_random(ix, rng, 6000, 0, 50, 200);
  freeze(ix);
  std::vector<std::string> storage;
  const std::vector<Query> queries = random_queries(rng, 200, storage);
  const std::vector<ResultList> batch = batch_search(ix, queries, 10);
  for (size_t i = 0; i < queries.size(); ++i) {
    CHECK(agrees(ix, batch[i], search_stored(ix, queries[i], kAll, nullptr, Strategy::exhaustive), 10));
  }
}

TEST(pruning_holds_on_a_loaded_index) {
  std::mt19937_64 rng(5);
  Index source;
  add_random(source, rng, 5000, 0, 60, 250);
  // Rebuild it through the builder in a scrambled token order, as a load does.
  IndexBuilder builder;
  for_each_document_map(source, [&](NameId d, const Posting* postings, uint32_t n) {
    builder.begin_document(source.document_name(d));
    for (uint32_t k = 0; k < n; ++k) builder.document_count(source.token_name(postings[k].id), postings[k].count);
    builder.end_document(source.document_name(d));
  });
  for (NameId t = source.token_name_count(); t-- > 0;) {
    builder.begin_token(source.token_name(t));
    const PostingList& list = source.postings(t);
    for (uint32_t i = list.size(); i-- > 0;) builder.token_count(source.document_name(list.docs()[i]), list.count(i));
    builder.end_token(source.token_name(t));
  }
  Index ix = builder.take();
  CHECK(ix.document_maps() == nullptr);  // the two maps agree
  std::vector<std::string> storage;
  const std::vector<Query> queries = random_queries(rng, 250, storage);
  CHECK_EQ(check_all(ix, queries), 0);
  freeze(ix);
  CHECK_EQ(check_all(ix, queries), 0);
}

// The on-the-fly bound of a block must lie above every weight the routine
// computes for its postings, whatever the average length has become since
// the block recorded its saturations, at the edges of the formula.
TEST(on_the_fly_bound_covers_every_weight_of_its_block) {
  const float k1 = Index::kK1;
  const float b = Index::kB;
  std::mt19937_64 rng(3);
  const int32_t counts[] = {1, 2, 3, 255, 256, 65535, 1 << 20, 2147483647};
  const float lengths[] = {0.0f, 1.0f, 2.0f, 3.0f, 50.0f, 1e4f, 1e7f, 2147483647.0f};
  const float averages[] = {1e-9f, 0.001f, 0.5f, 1.0f, 1.0000001f, 37.5f, 1e6f, 3e9f};
  const float factors[] = {1.0f, 1.0000001f, 3.5f, 23.0f};
  int violations = 0;
  int checked = 0;
  for (int group = 0; group < 4000; ++group) {
    // A block: a few postings drawn from the edge values and around them.
    std::vector<std::pair<int32_t, float>> postings;
    const int size = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < size; ++k) {
      int32_t tf = counts[rng() % std::size(counts)];
      if (tf > 1 && rng() % 2) tf -= static_cast<int32_t>(rng() % 2);
      float dl = lengths[rng() % std::size(lengths)];
      if (rng() % 2) dl = std::nextafter(dl, INFINITY);
      postings.emplace_back(tf, dl);
    }
    const float recorded = averages[rng() % std::size(averages)];
    const float now = rng() % 3 ? averages[rng() % std::size(averages)] : recorded;
    const float factor = factors[rng() % std::size(factors)];
    float max_saturation = 0.0f;
    for (auto [tf, dl] : postings) max_saturation = std::max(max_saturation, saturation(k1, b, tf, dl, recorded));
    const float bound = weight_bound(k1, factor, max_saturation, recorded, now);
    for (auto [tf, dl] : postings) {
      const float w = token_weight(k1, b, factor, tf, dl, now);
      ++checked;
      if (!(w <= bound)) {
        ++violations;
        std::fprintf(stderr, "tf %d dl %g A0 %g A %g F %g: weight %.9g above bound %.9g\n", tf, dl, recorded, now,
                     factor, w, bound);
      }
    }
  }
  CHECK(checked > 10000);
  CHECK_EQ(violations, 0);
}

// Bounds from per-document saturation bases are the bounds computed per
// posting, bit for bit: at the formula's edges, with ties and near-ties
// inside a block, with counts kept aside (above 255) and without.
TEST(bounds_from_bases_equal_the_bounds_per_posting) {
  std::mt19937_64 rng(5);
  const int32_t counts[] = {1, 2, 3, 7, 255, 256, 65535, 1 << 20, 2147483647};
  const float lengths[] = {0.0f, 1.0f, 2.0f, 3.0f, 14.0f, 50.0f, 1e4f, 1e7f, 2147483647.0f};
  const float averages[] = {1e-9f, 0.001f, 0.5f, 1.0f, 1.0000001f, 37.5f, 1e6f, 3e9f};
  std::vector<float> table(4096);
  for (float& dl : table) {
    dl = lengths[rng() % std::size(lengths)];
    if (rng() % 2) dl = std::nextafter(dl, INFINITY);
  }
  std::vector<float> bases(table.size());
  int blocks = 0;
  for (int round = 0; round < 300; ++round) {
    const float average = averages[rng() % std::size(averages)];
    for (size_t d = 0; d < table.size(); ++d) bases[d] = saturation_base(Index::kK1, Index::kB, table[d], average);
    // A list of 1 to 4 full blocks and a partial one, over ascending documents.
    const uint32_t n = kBlockSize * (1 + static_cast<uint32_t>(rng() % 4)) + static_cast<uint32_t>(rng() % kBlockSize);
    std::vector<uint32_t> docs;
    for (uint32_t d = 0; docs.size() < n; ++d) {
      if (table.size() - d == n - docs.size() || rng() % 3 == 0) docs.push_back(d);
    }
    // Every other list keeps all its counts in one byte each (the lists
    // that are read four postings at a time).
    const size_t kinds = round % 2 ? std::size(counts) : 5;
    std::vector<int32_t> list_counts(n);
    for (int32_t& tf : list_counts) tf = rng() % 4 ? counts[rng() % 4] : counts[rng() % kinds];
    PostingList per_posting, from_bases;
    per_posting.assign(docs.data(), list_counts.data(), n, table.data(), average);
    from_bases.assign(docs.data(), list_counts.data(), n, table.data(), average);
    from_bases.rebuild_bounds_from_bases(bases.data(), average);
    CHECK_EQ(from_bases.full_blocks(), n / kBlockSize);
    for (uint32_t b = 0; b < per_posting.full_blocks(); ++b) {
      ++blocks;
      CHECK_EQ(std::memcmp(&from_bases.block(b), &per_posting.block(b), sizeof(BlockBounds)), 0);
    }
  }
  CHECK(blocks > 500);
}
