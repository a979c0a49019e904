// The in-memory index of one BM25 object.
//
// Document identifiers and token texts are interned into dense ids; the
// documents map and the inverted index are arrays indexed by those ids.
// Observable maps:
//   index:        every present document: key, record id, its token counts
//   token_index:  every present token: key, record text, its document counts
//   frozen weights: one weight per (document, token) posting of the last freeze
// A name may be known without being present: after a load, a token may list a
// document that the documents map lacks, and a document may count a token that
// the token map lacks.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/posting_pages.hpp"
#include "index/string_table.hpp"

namespace vantoro {

using NameId = uint32_t;

// One (id, count) entry of a record's map: in a document, id names a token;
// in a token, id names a document.
struct Posting {
  NameId id;
  int32_t count;
};

struct DocumentRecord {
  const Posting* postings = nullptr;  // a run in Index::doc_postings_
  uint32_t size = 0;    // number of distinct tokens
  int32_t length = 0;   // sum of counts, wrapping 32-bit
  bool present = false;
};

struct TokenRecord {
  std::vector<Posting> postings;  // one per document, in insertion order
  int32_t pending = 0;            // occurrences in the document being added
  bool present = false;
};

// Weights stored by the last successful freeze, aligned with each token's
// postings as they were then. Postings appended later have no weight.
struct FrozenWeights {
  std::vector<uint64_t> begin;  // per token id: first weight in `weights`
  std::vector<uint32_t> size;   // per token id: number of weighted postings
  std::vector<float> weights;
  bool any = false;             // the stored weight map is not empty
};

// The length of a document as the scoring formula sees it: the signed 32-bit
// sum widened with its sign, then read as an unsigned 64-bit count.
inline float length_as_float(int32_t length) {
  return static_cast<float>(static_cast<uint64_t>(static_cast<int64_t>(length)));
}

class Index {
 public:
  static constexpr float kK1 = 1.2f;
  static constexpr float kB = 0.75f;

  Index();

  // ---- sizes and names
  uint64_t document_count() const { return document_count_; }
  uint64_t token_count() const { return token_count_; }
  uint32_t document_name_count() const { return doc_names_.size(); }
  uint32_t token_name_count() const { return token_names_.size(); }
  std::string_view document_name(NameId d) const { return doc_names_.name(d); }
  std::string_view token_name(NameId t) const { return token_names_.name(t); }
  NameId find_document(std::string_view key) const { return doc_names_.find(key); }
  NameId find_token(std::string_view key) const { return token_names_.find(key); }

  // ---- documents
  const DocumentRecord& document(NameId d) const { return docs_[d]; }
  bool document_present(NameId d) const { return docs_[d].present; }
  const Posting* document_postings(NameId d) const { return docs_[d].postings; }
  std::string_view document_record_id(NameId d) const;
  // Lengths as floats, NaN where the document is absent: one array that the
  // scoring loops read per posting.
  const std::vector<float>& length_table() const { return length_f_; }
  // Wrapping 64-bit sum of every present document's sign-widened length.
  uint64_t total_length() const { return total_length_; }

  // ---- tokens
  const TokenRecord& token(NameId t) const { return tokens_[t]; }
  bool token_present(NameId t) const { return tokens_[t].present; }
  std::string_view token_record_text(NameId t) const;

  // ---- frozen state
  const FrozenWeights& frozen() const { return frozen_; }
  float avgdl() const { return avgdl_; }
  float k1() const { return k1_; }
  float b() const { return b_; }

  // ---- changes
  // Adds one document unless its identifier is already present (add.cpp).
  void add_document(std::string_view id, const std::vector<std::string_view>& tokens);
  // Installs the result of a successful freeze.
  void set_frozen(FrozenWeights&& weights, float avgdl) {
    frozen_ = std::move(weights);
    avgdl_ = avgdl;
  }
  // Replaces the documents and tokens with those of `fresh`, keeping the
  // frozen weights, re-keyed by their (document, token) names (replace.cpp).
  void replace_contents(Index&& fresh);

 private:
  friend class IndexBuilder;

  NameId intern_document(std::string_view key);
  NameId intern_document(std::string_view key, uint64_t h);
  NameId intern_token(std::string_view key, uint64_t h);

  StringTable doc_names_;
  StringTable token_names_;
  std::vector<DocumentRecord> docs_;
  std::vector<float> length_f_;
  Pages<Posting> doc_postings_;
  std::vector<TokenRecord> tokens_;
  std::unordered_map<NameId, std::string> record_ids_;    // where a record's id differs from its key
  std::unordered_map<NameId, std::string> record_texts_;  // likewise for tokens
  uint64_t document_count_ = 0;
  uint64_t token_count_ = 0;
  uint64_t total_length_ = 0;
  // Names of documents that some token lists while the document is absent:
  // adding such a document must merge into the existing postings.
  bool has_absent_listed_documents_ = false;

  FrozenWeights frozen_;
  float k1_ = kK1;
  float b_ = kB;
  float avgdl_ = 0.0f;

  std::vector<uint64_t> hash_scratch_;
  std::vector<NameId> token_scratch_;
  std::vector<NameId> touched_scratch_;
};

}  // namespace vantoro
