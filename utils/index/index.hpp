// The in-memory index of one BM25 object.
//
// Document identifiers and token texts are interned into dense ids. The
// inverted index is the primary structure: per token, its postings in
// document order (posting_list.hpp). A document's own token counts are the
// same postings seen from the other side, so they are not stored twice:
// saving derives them (document_maps.hpp). Only an index loaded from files
// that disagree keeps the documents' maps apart, as loaded.
//
// Observable maps:
//   index:          every present document: key, record id, its token counts
//   token_index:    every present token: key, record text, its document counts
//   stored weights: W, a weight per (document, token) pair of names, set only
//                   by freeze
// A name may be known without being present: after a load, a token may list
// a document that the documents map lacks, and a document may count a token
// that the token map lacks.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/big_alloc.hpp"
#include "index/bm25.hpp"
#include "index/posting_list.hpp"
#include "index/string_table.hpp"

namespace vantoro {

using NameId = uint32_t;

// One (id, count) entry of a record's map: in a document, id names a token;
// in a token, id names a document.
struct Posting {
  NameId id;
  int32_t count;
};

// Documents' own maps, kept only where they may differ from the token lists.
struct DocumentMaps {
  struct Run {
    uint64_t begin = 0;  // into postings
    uint32_t size = 0;
  };
  std::vector<Run> runs;          // per document id
  std::vector<Posting> postings;  // runs, one after another
};

// The length of a document as the scoring formula sees it: the signed 32-bit
// sum widened with its sign, then read as an unsigned 64-bit count.
inline float length_as_float(int32_t length) {
  return static_cast<float>(static_cast<uint64_t>(static_cast<int64_t>(length)));
}

class Index {
 public:
  static constexpr float kK1 = vantoro::kK1;
  static constexpr float kB = vantoro::kB;

  Index();
  ~Index();
  Index(Index&&) noexcept;
  Index& operator=(Index&&) noexcept;

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
  bool document_present(NameId d) const { return !std::isnan(lengths_f_[d]); }
  int32_t document_length(NameId d) const { return lengths_[d]; }
  // Lengths as floats, NaN where the document is absent: the one array that
  // on-the-fly scoring reads per posting.
  const float* length_table() const { return lengths_f_.data(); }
  // Wrapping 64-bit sum of every present document's sign-widened length.
  uint64_t total_length() const { return total_length_; }
  std::string_view document_record_id(NameId d) const;
  // The documents' own maps where they are held apart, else null.
  const DocumentMaps* document_maps() const { return doc_maps_.get(); }

  // ---- tokens
  bool token_present(NameId t) const { return tokens_[t].present; }
  const PostingList& postings(NameId t) const { return tokens_[t].list; }
  std::string_view token_record_text(NameId t) const;

  // ---- state
  // Every posting names a present document, every count is at least 1 and
  // every present document's length is at least 0: then every weight is a
  // positive finite number and the block bounds hold. Only a loaded index
  // can be irregular; searches of an irregular index visit every posting.
  bool regular() const { return regular_; }
  // The stored weights are not empty (a search with stored weights may run).
  bool frozen_any() const { return frozen_any_; }
  // Every stored weight is finite and at least 0: skipping by bounds is safe.
  bool weights_prunable() const { return weights_prunable_; }
  // Nothing changed since the last freeze: every stored weight is what
  // on-the-fly scoring would compute now, bit for bit.
  bool weights_current() const { return frozen_any_ && frozen_at_ == changes_; }
  float avgdl() const { return avgdl_; }
  float k1() const { return k1_; }
  float b() const { return b_; }
  // Every token name has its slot and every document name its lengths: what
  // a failed change must leave (tests).
  bool names_have_records() const {
    return tokens_.size() == token_names_.size() && lengths_.size() == doc_names_.size() &&
           lengths_f_.size() == doc_names_.size();
  }
  // Bytes held by the posting lists (tests and benchmarks).
  size_t posting_bytes() const;

  // ---- changes
  // Adds one document unless its identifier is already present. Either the
  // document is added whole or, when memory runs out, nothing that can be
  // observed changes (add.cpp).
  void add_document(std::string_view id, const std::vector<std::string_view>& tokens);
  // Replaces the documents and tokens with those of `fresh`, keeping the
  // stored weights W (replace.cpp).
  void replace_contents(Index&& fresh);

 private:
  friend class IndexBuilder;
  friend class StagedAdd;
  friend class MirrorLoad;
  friend class MirrorTokensPart;
  friend void freeze(Index& index);

  // The index as it was at the last freeze, kept after a load replaced the
  // documents and tokens: its weighted postings are W, looked up by names.
  float snapshot_weight(NameId d, NameId t) const;
  void materialise_weights_from(const Index& snapshot);
  // Recomputes regular_ and, when it turns true, every block bound.
  void check_regular();
  // The average document length now (what blocks filling up record).
  float current_average() const;

  // The steps of add_document (add.cpp), apart so that a list can be added
  // in two stages on two threads (staged_add.hpp).
  // Interns the texts into token_names_ and writes their ids; touches no
  // other member but the hashing scratch.
  void intern_tokens(const std::vector<std::string_view>& tokens, NameId* ids);
  // Adds document d's postings, the token ids of its n tokens. Every id has
  // its slot and d its lengths. On failure, nothing observable changed.
  void add_postings(NameId d, const NameId* ids, size_t n);
  // Adds a document whose names were resolved by the first stage: makes the
  // slots of its tokens, and the lengths of its name when `new_name` (its
  // id is then the next one), then adds its postings.
  void add_resolved(NameId d, bool new_name, const NameId* ids, size_t n);

  StringTable doc_names_;
  StringTable token_names_;
  BigVector<int32_t> lengths_;  // per document id; 0 where absent
  BigVector<float> lengths_f_;  // per document id; NaN where absent
  // A token's postings and the state adding needs, in one cache line.
  struct TokenSlot {
    PostingList list;
    int32_t pending = 0;  // occurrences in the document being added
    bool present = false;
  };
  std::vector<TokenSlot> tokens_;
  std::unique_ptr<DocumentMaps> doc_maps_;
  std::unordered_map<NameId, std::string> record_ids_;    // where a record's id differs from its key
  std::unordered_map<NameId, std::string> record_texts_;  // likewise for tokens
  uint64_t document_count_ = 0;
  uint64_t token_count_ = 0;
  uint64_t total_length_ = 0;
  bool regular_ = true;

  bool frozen_any_ = false;
  bool weights_prunable_ = true;
  BigArray<float> weight_arena_;  // the last freeze's weights, lists point into it
  uint64_t changes_ = 0;                  // documents added and loads so far
  uint64_t frozen_at_ = ~uint64_t{0};     // changes_ at the last freeze
  std::unique_ptr<Index> snapshot_;
  float k1_ = kK1;
  float b_ = kB;
  float avgdl_ = 0.0f;

  // Scratch of add_document, kept to avoid an allocation per document.
 public:
  // Where a new document's posting goes in one token's list.
  struct PostingPlan {
    enum class Place : uint8_t { append, insert, merge } place;
    uint32_t pos;
  };

 private:
  std::vector<PostingPlan> plan_scratch_;
  std::vector<uint64_t> hash_scratch_;
  std::vector<NameId> token_scratch_;
  std::vector<NameId> touched_scratch_;
};

}  // namespace vantoro
