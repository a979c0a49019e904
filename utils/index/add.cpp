// Adding one document: count its tokens, store the counts under the document
// and append one posting per distinct token to the inverted index.
//
// The work runs in passes over the document's tokens so that the memory
// reads of one pass (table slots, token records) are requested for all
// tokens before any is needed: the misses overlap instead of queueing.
#include "index/index.hpp"

namespace vantoro {

void Index::add_document(std::string_view id, const std::vector<std::string_view>& tokens) {
  const NameId known = doc_names_.find(id);
  if (known != StringTable::kAbsent && docs_[known].present) return;

  const size_t n = tokens.size();
  hash_scratch_.resize(n);
  token_scratch_.resize(n);
  // Each token string is hashed once, here (twice only in the document
  // during which the table switches to its collision-resistant hash).
  const bool strong = token_names_.strong();
  for (size_t i = 0; i < n; ++i) {
    hash_scratch_[i] = token_names_.hash(tokens[i]);
    token_names_.prefetch(hash_scratch_[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (token_names_.strong() != strong) hash_scratch_[i] = token_names_.hash(tokens[i]);
    const NameId t = intern_token(tokens[i], hash_scratch_[i]);
    token_scratch_[i] = t;
    __builtin_prefetch(&tokens_[t]);
  }
  touched_scratch_.clear();
  for (size_t i = 0; i < n; ++i) {
    TokenRecord& token = tokens_[token_scratch_[i]];
    if (token.pending++ == 0) {
      touched_scratch_.push_back(token_scratch_[i]);
      __builtin_prefetch(token.postings.data() + token.postings.size(), 1);
    }
  }

  const NameId d = known != StringTable::kAbsent ? known : intern_document(id);
  // Only a loaded token map can list a document that is not present; then the
  // new counts are added to the postings it already has.
  const bool merge = known != StringTable::kAbsent && has_absent_listed_documents_;

  DocumentRecord& doc = docs_[d];
  Posting* run = doc_postings_.allocate(touched_scratch_.size());
  doc.postings = run;
  doc.size = static_cast<uint32_t>(touched_scratch_.size());
  uint32_t length = 0;
  for (NameId t : touched_scratch_) {
    TokenRecord& token = tokens_[t];
    const int32_t count = token.pending;
    token.pending = 0;
    length += static_cast<uint32_t>(count);
    *run++ = Posting{t, count};
    if (!token.present) {
      token.present = true;
      ++token_count_;
    }
    Posting* existing = nullptr;
    if (merge) {
      for (Posting& p : token.postings) {
        if (p.id == d) {
          existing = &p;
          break;
        }
      }
    }
    if (existing) {
      existing->count = static_cast<int32_t>(static_cast<uint32_t>(existing->count) + static_cast<uint32_t>(count));
    } else {
      // Grow by half, not double: less slack in the largest structure.
      std::vector<Posting>& list = token.postings;
      if (list.size() == list.capacity()) list.reserve(list.size() < 4 ? 4 : list.size() + list.size() / 2);
      list.push_back(Posting{d, count});
    }
  }
  doc.length = static_cast<int32_t>(length);
  doc.present = true;
  length_f_[d] = length_as_float(doc.length);
  ++document_count_;
  total_length_ += static_cast<uint64_t>(static_cast<int64_t>(doc.length));
}

}  // namespace vantoro
