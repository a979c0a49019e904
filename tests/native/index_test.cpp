#include <cmath>
#include <cstring>
#include <thread>

#include "check.hpp"
#include "index/batch_search.hpp"
#include "index/builder.hpp"
#include "index/document_maps.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"

using namespace vantoro;

namespace {

// Built with append: gcc 12 misreports `"s" + std::to_string(i)` under -Werror=restrict.
std::string named(const char* prefix, int i) {
  std::string name(prefix);
  name.append(std::to_string(i));
  return name;
}

int32_t document_count_of(const Index& ix, std::string_view doc, std::string_view token) {
  NameId d = ix.find_document(doc);
  NameId t = ix.find_token(token);
  if (d == StringTable::kAbsent || t == StringTable::kAbsent) return -999;
  int32_t found = -999;
  for_each_document_map(ix, [&](NameId doc_id, const Posting* p, uint32_t n) {
    if (doc_id != d) return;
    for (uint32_t i = 0; i < n; ++i)
      if (p[i].id == t) found = p[i].count;
  });
  return found;
}

int32_t token_count_of(const Index& ix, std::string_view token, std::string_view doc) {
  NameId d = ix.find_document(doc);
  NameId t = ix.find_token(token);
  if (d == StringTable::kAbsent || t == StringTable::kAbsent) return -999;
  const PostingList& list = ix.postings(t);
  const uint32_t pos = list.seek(0, d);
  return pos < list.size() && list.docs()[pos] == d ? list.count(pos) : -999;
}

float score_of(const Index& ix, const ResultList& results, std::string_view doc) {
  for (const ResultPair& r : results)
    if (ix.document_name(r.document) == doc) return r.score;
  return -1.0f;
}

}  // namespace

TEST(string_table_interns_many_strings) {
  StringTable table;
  for (int i = 0; i < 100000; ++i) CHECK_EQ(table.intern(named("s", i)).first, static_cast<uint32_t>(i));
  for (int i = 0; i < 100000; i += 997) CHECK_EQ(table.find(named("s", i)), static_cast<uint32_t>(i));
  CHECK_EQ(table.find("missing"), StringTable::kAbsent);
  CHECK_EQ(table.intern(std::string_view("", 0)).second, true);
  CHECK_EQ(table.intern(std::string_view("a\0b", 3)).second, true);
  CHECK(table.find(std::string_view("a\0c", 3)) == StringTable::kAbsent);
}

TEST(switching_to_the_strong_hash_keeps_every_string) {
  StringTable table;
  for (int i = 0; i < 5000; ++i) table.intern(named("t", i));
  CHECK(!table.strong());
  table.switch_to_strong_hash();
  CHECK(table.strong());
  for (int i = 0; i < 5000; ++i) CHECK_EQ(table.find(named("t", i)), static_cast<uint32_t>(i));
  CHECK_EQ(table.intern(named("t", 5000)).first, 5000u);
  CHECK_EQ(table.intern(named("t", 17)).second, false);
}

TEST(adding_keeps_documents_and_tokens_mirrored) {
  Index ix;
  ix.add_document("d1", {"a", "b", "a"});
  ix.add_document("d2", {"a"});
  ix.add_document("d1", {"z"});
  CHECK_EQ(ix.document_count(), 2u);
  CHECK_EQ(ix.token_count(), 2u);
  CHECK_EQ(document_count_of(ix, "d1", "a"), 2);
  CHECK_EQ(document_count_of(ix, "d1", "b"), 1);
  CHECK_EQ(token_count_of(ix, "a", "d1"), 2);
  CHECK_EQ(token_count_of(ix, "a", "d2"), 1);
  CHECK_EQ(ix.find_token("z"), StringTable::kAbsent);
  CHECK_EQ(ix.document_length(ix.find_document("d1")), 3);
  CHECK_EQ(ix.total_length(), 4u);
}

namespace {

// 700 documents with counts of 1, of a few, and over 255 (kept apart from
// the short form).
void add_column_corpus(Index& ix) {
  uint32_t state = 7;
  auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
  for (int d = 0; d < 700; ++d) {
    std::vector<std::string> words;
    const int length = d % 97 == 0 ? 300 : static_cast<int>(next() % 12);
    for (int k = 0; k < length; ++k) words.push_back(named("t", d % 97 == 0 ? 5 : static_cast<int>(next() % 60)));
    std::vector<std::string_view> views(words.begin(), words.end());
    ix.add_document(named("doc", d), views);
  }
}

}  // namespace

// Chunks of a few documents and buckets of one or a few: every boundary
// case of the two-pass sort, against maps made straight from the lists.
TEST(document_columns_match_the_lists_at_any_chunk_and_bucket_size) {
  Index ix;
  add_column_corpus(ix);
  std::vector<std::vector<Posting>> expected(ix.document_name_count());
  for (NameId t = 0; t < ix.token_name_count(); ++t) {
    const PostingList& list = ix.postings(t);
    for (uint32_t p = 0; p < list.size(); ++p) expected[list.docs()[p]].push_back(Posting{t, list.count(p)});
  }
  for (const auto& [chunk_pairs, bucket_pairs] :
       std::vector<std::pair<uint64_t, uint64_t>>{{1, 1}, {40, 1}, {40, 7}, {300, 64}, {1u << 21, 1u << 16}}) {
    DocumentColumns columns(ix, DocumentColumnSizes{chunk_pairs, 1, bucket_pairs});
    NameId seen = 0;
    while (columns.next()) {
      CHECK_EQ(columns.begin(), seen);
      for (NameId d = columns.begin(); d < columns.end(); ++d, ++seen) {
        CHECK_EQ(columns.size(d), static_cast<uint32_t>(expected[d].size()));
        for (uint32_t k = 0; k < columns.size(d); ++k) {
          CHECK_EQ(columns.run(d)[k].id, expected[d][k].id);
          CHECK_EQ(columns.run(d)[k].count, expected[d][k].count);
        }
      }
    }
    CHECK_EQ(seen, ix.document_name_count());
  }
}

// A queue gives the chunks that DocumentColumns makes alone, in order,
// whether a second thread helps or not; closed early, it lets a helper that
// waits for room return.
TEST(column_queue_gives_the_chunks_in_order_with_or_without_a_helper) {
  Index ix;
  add_column_corpus(ix);
  for (const DocumentColumnSizes sizes : {DocumentColumnSizes{1, 1, 1}, DocumentColumnSizes{40, 1, 7},
                                          DocumentColumnSizes{300, 1, 64}, DocumentColumnSizes{}}) {
    for (const bool helped : {false, true}) {
      ColumnQueue queue(ix, sizes);
      std::thread helper;
      if (helped) helper = std::thread([&] { queue.help(); });
      DocumentColumns alone(ix, sizes);
      while (const ColumnChunk* chunk = queue.take()) {
        CHECK(alone.next());
        CHECK_EQ(chunk->begin, alone.begin());
        CHECK_EQ(chunk->end, alone.end());
        for (NameId d = chunk->begin; d < chunk->end; ++d) {
          CHECK_EQ(chunk->size(d), alone.size(d));
          for (uint32_t k = 0; k < chunk->size(d); ++k) {
            CHECK_EQ(chunk->run(d)[k].id, alone.run(d)[k].id);
            CHECK_EQ(chunk->run(d)[k].count, alone.run(d)[k].count);
          }
        }
        queue.give_back(chunk);
      }
      CHECK(!alone.next());
      queue.close();
      if (helper.joinable()) helper.join();
    }
  }
  ColumnQueue queue(ix, DocumentColumnSizes{1, 1, 1});
  std::thread helper([&] { queue.help(); });
  CHECK(queue.take() != nullptr);
  queue.close();
  helper.join();
}

TEST(freeze_matches_the_worked_example) {
  Index ix;
  ix.add_document("d1", {"a", "b", "a"});
  ix.add_document("d2", {"a"});
  freeze(ix);
  CHECK_EQ(ix.avgdl(), 2.0f);
  CHECK_EQ(ix.postings(ix.find_token("a")).weighted(), 2u);
  CHECK_EQ(ix.postings(ix.find_token("b")).weighted(), 1u);
  ResultList a = search_stored(ix, {"a"}, 10);
  CHECK(std::fabs(score_of(ix, a, "d1") - 1.20548f) < 1e-5f);
  CHECK(std::fabs(score_of(ix, a, "d2") - 1.25714f) < 1e-5f);
  ResultList b = search_stored(ix, {"b"}, 10);
  CHECK(std::fabs(score_of(ix, b, "d1") - 1.16680f) < 1e-5f);
  ResultList fly = search_on_the_fly(ix, {"a"}, 10);
  CHECK_EQ(score_of(ix, fly, "d1"), score_of(ix, a, "d1"));
}

TEST(loaded_inconsistencies_are_kept_and_reported) {
  IndexBuilder builder;
  builder.begin_document("d1");
  builder.document_count("a", 2);
  builder.document_count("a", 5);  // a later count replaces the earlier
  builder.end_document("other-id");
  builder.begin_token("a");
  builder.token_count("ghost", 1);
  builder.token_count("d1", 5);
  builder.end_token("a");
  Index ix = builder.take();
  CHECK_EQ(ix.document_count(), 1u);
  CHECK_EQ(document_count_of(ix, "d1", "a"), 5);
  CHECK_EQ(ix.document_record_id(ix.find_document("d1")), "other-id");
  CHECK(!ix.document_present(ix.find_document("ghost")));
  CHECK_THROWS_MESSAGE(search_on_the_fly(ix, {"a"}, 10), "called `Option::unwrap()` on a `None` value");
  CHECK_THROWS_MESSAGE(freeze(ix), "called `Option::unwrap()` on a `None` value");
  CHECK(!ix.frozen_any());
  // Adding the listed-but-missing document merges into its posting.
  ix.add_document("ghost", {"a", "a"});
  CHECK_EQ(token_count_of(ix, "a", "ghost"), 3);
  CHECK_EQ(document_count_of(ix, "ghost", "a"), 2);
}

TEST(replacing_contents_keeps_weights_by_name_pair) {
  Index ix;
  ix.add_document("d1", {"a", "b"});
  ix.add_document("d2", {"a"});
  freeze(ix);
  const float d1a = score_of(ix, search_stored(ix, {"a"}, 10), "d1");

  IndexBuilder builder;
  builder.begin_document("d9");
  builder.document_count("a", 1);
  builder.end_document("d9");
  builder.begin_document("d1");
  builder.document_count("a", 1);
  builder.end_document("d1");
  builder.begin_token("a");
  builder.token_count("d9", 1);
  builder.token_count("d1", 1);
  builder.end_token("a");
  ix.replace_contents(builder.take());

  ResultList after = search_stored(ix, {"a"}, 10);
  CHECK_EQ(after.size(), 2u);
  CHECK_EQ(score_of(ix, after, "d1"), d1a);
  CHECK_EQ(score_of(ix, after, "d9"), 0.0f);
}

TEST(nan_scores_fail_only_with_two_candidates) {
  IndexBuilder builder;
  builder.begin_document("d1");
  builder.document_count("a", 0);
  builder.end_document("d1");
  builder.begin_token("a");
  builder.token_count("d1", 0);
  builder.end_token("a");
  Index one = builder.take();
  ResultList single = search_on_the_fly(one, {"a"}, 10);  // 0/0 average: NaN, but one candidate
  CHECK_EQ(single.size(), 1u);
  CHECK(std::isnan(single[0].score));

  IndexBuilder two;
  for (const char* d : {"d1", "d2"}) {
    two.begin_document(d);
    two.document_count("a", 0);
    two.end_document(d);
  }
  two.begin_token("a");
  two.token_count("d1", 0);
  two.token_count("d2", 0);
  two.end_token("a");
  Index ix = two.take();
  CHECK_THROWS_MESSAGE(search_on_the_fly(ix, {"a"}, 10), "called `Option::unwrap()` on a `None` value");
}

TEST(top_n_keeps_the_best_in_order) {
  Index ix;
  for (int i = 0; i < 200; ++i) {
    std::vector<std::string> words(static_cast<size_t>(i % 7 + 1), "w");
    words.push_back(named("pad", i % 3));
    std::vector<std::string_view> views(words.begin(), words.end());
    ix.add_document(named("d", i), views);
  }
  ResultList all = search_on_the_fly(ix, {"w"}, 1000);
  ResultList top = search_on_the_fly(ix, {"w"}, 5);
  CHECK_EQ(all.size(), 200u);
  CHECK_EQ(top.size(), 5u);
  for (size_t i = 1; i < all.size(); ++i) CHECK(all[i - 1].score >= all[i].score);
  for (size_t i = 0; i < top.size(); ++i) CHECK_EQ(top[i].score, all[i].score);
  CHECK(search_on_the_fly(ix, {"w"}, 0).empty());
}

TEST(batch_answers_in_query_order) {
  Index ix;
  ix.add_document("d1", {"x", "y"});
  ix.add_document("d2", {"x"});
  std::vector<Query> queries;
  for (int i = 0; i < 50; ++i) queries.push_back(i % 2 ? Query{"y"} : Query{"x"});
  std::vector<ResultList> results = batch_search(ix, queries, 10);
  CHECK_EQ(results.size(), 50u);
  for (int i = 0; i < 50; ++i) CHECK_EQ(results[static_cast<size_t>(i)].size(), i % 2 ? 1u : 2u);
}

TEST(on_the_fly_scoring_reuses_weights_only_while_nothing_changed) {
  Index ix;
  ix.add_document("d1", {"a", "b", "a"});
  ix.add_document("d2", {"a"});
  CHECK(!ix.weights_current());
  freeze(ix);
  CHECK(ix.weights_current());
  const ResultList fly = search_on_the_fly(ix, {"a", "b"}, 10);
  const ResultList stored = search_stored(ix, {"a", "b"}, 10);
  CHECK_EQ(fly.size(), 2u);
  for (size_t i = 0; i < fly.size(); ++i) CHECK_EQ(fly[i].score, stored[i].score);
  ix.add_document("d1", {"z"});  // already present: nothing changes
  CHECK(ix.weights_current());
  ix.add_document("d3", {"b"});
  CHECK(!ix.weights_current());
  CHECK_EQ(search_on_the_fly(ix, {"b"}, 10).size(), 2u);   // sees d3 at once
  CHECK_EQ(search_stored(ix, {"b"}, 10).size(), 2u);       // d3 with 0.0
  CHECK_EQ(score_of(ix, search_stored(ix, {"b"}, 10), "d3"), 0.0f);

  // A freeze of an index without tokens stores nothing: on-the-fly scoring
  // must not turn into a refused stored-weight search.
  Index empty;
  empty.add_document("e", {});
  freeze(empty);
  CHECK(!empty.weights_current());
  CHECK(search_on_the_fly(empty, {"a"}, 10).empty());
}
