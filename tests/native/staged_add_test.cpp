// A list added in two stages gives exactly the index that adding its
// documents one by one gives, whatever the chunk sizes; and the name tables
// forget names as if they had never been interned.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "index/builder.hpp"
#include "index/search.hpp"
#include "index/staged_add.hpp"
#include "persist/json_writer.hpp"
#include "test_documents.hpp"

using namespace vantoro;

namespace {

using testing::add;
using testing::Document;
using testing::Feed;

// Documents with repeated identifiers (within the list and of documents
// already present), empty documents, counts above 255 and new tokens.
std::vector<Document> corpus(uint64_t seed, int count) {
  std::mt19937_64 rng(seed);
  std::vector<Document> docs;
  for (int i = 0; i < count; ++i) {
    Document doc{"doc-" + std::to_string(rng() % (count + count / 4)), {}};
    const int n = i % 29 == 3 ? 0 : 1 + static_cast<int>(rng() % 30);
    for (int k = 0; k < n; ++k) doc.tokens.push_back("w" + std::to_string(rng() % (50 + i)));
    if (i % 41 == 7) doc.tokens.insert(doc.tokens.end(), 300, "w1");
    docs.push_back(std::move(doc));
  }
  return docs;
}

// An index loaded from files that disagree: "ghost" and "doc-3" are known
// names of absent documents, which the list then adds.
Index loaded_with_absent_names() {
  IndexBuilder builder;
  builder.begin_document("doc-1");
  builder.document_count("w1", 2);
  builder.end_document("doc-1");
  builder.begin_token("w1");
  builder.token_count("doc-1", 2);
  builder.token_count("ghost", 1);
  builder.token_count("doc-3", 4);
  builder.end_token("w1");
  return builder.take();
}

std::string saved(const Index& ix) {
  return std::string(persist::encode_documents(ix).view()) + "\n" + std::string(persist::encode_tokens(ix).view());
}

// The ranking, or the failure (a listed document may be absent).
std::string ranked(const Index& ix, const Query& query) {
  std::string out;
  try {
    for (const ResultPair& r : search_on_the_fly(ix, query, ~size_t{0})) {
      out += std::string(ix.document_name(r.document)) + "=" + std::to_string(r.score) + " ";
    }
  } catch (const std::exception& e) {
    out += e.what();
  }
  return out;
}

void check_same(const Index& staged, const Index& one_by_one) {
  CHECK(staged.names_have_records());
  CHECK_EQ(saved(staged), saved(one_by_one));
  CHECK_EQ(staged.document_name_count(), one_by_one.document_name_count());
  CHECK_EQ(staged.token_name_count(), one_by_one.token_name_count());
  for (const Query& q : {Query{"w1"}, Query{"w2", "w7"}, Query{"w0", "w40", "w90"}}) {
    CHECK_EQ(ranked(staged, q), ranked(one_by_one, q));
  }
}

}  // namespace

TEST(a_list_added_in_stages_equals_adding_one_by_one) {
  const std::vector<Document> first = corpus(3, 300);
  std::vector<Document> second = corpus(5, 400);
  second.push_back(Document{"ghost", {"w1", "w2"}});
  second.push_back(Document{"doc-3", {"w1"}});
  second.push_back(Document{"ghost", {"w9"}});  // repeated: skipped
  for (bool loaded : {false, true}) {
    for (const StagedAddOptions& options :
         {StagedAddOptions{1, 1}, StagedAddOptions{7, 3}, StagedAddOptions{1000, 64}, StagedAddOptions{}}) {
      Index staged = loaded ? loaded_with_absent_names() : Index();
      Index one_by_one = loaded ? loaded_with_absent_names() : Index();
      for (const std::vector<Document>* list : {&first, static_cast<const std::vector<Document>*>(&second)}) {
        Feed feed(*list);
        CHECK(StagedAdd::possible(staged));
        CHECK(StagedAdd::run(staged, feed, options));
        for (const Document& doc : *list) add(one_by_one, doc);
        check_same(staged, one_by_one);
      }
    }
  }
}

TEST(truncating_a_string_table_forgets_the_newest_names) {
  for (bool strong : {false, true}) {
    StringTable table;
    for (int i = 0; i < 3000; ++i) table.intern("s" + std::to_string(i));
    if (strong) table.switch_to_strong_hash();
    table.truncate(1000);
    CHECK_EQ(table.size(), 1000u);
    for (int i = 0; i < 3000; ++i) {
      CHECK_EQ(table.find("s" + std::to_string(i)), i < 1000 ? static_cast<uint32_t>(i) : StringTable::kAbsent);
    }
    // Forgotten names come back with fresh ids, in the order given.
    for (int i = 2999; i >= 1000; --i) CHECK_EQ(table.intern("s" + std::to_string(i)).first, static_cast<uint32_t>(3999 - i));
    CHECK_EQ(table.name(1000), "s2999");
    table.truncate(0);
    CHECK_EQ(table.find("s0"), StringTable::kAbsent);
    CHECK_EQ(table.intern("s5").first, 0u);
  }
}
