// Adding one document: count its tokens, store the counts under the document
// and append one posting per distinct token to the inverted index.
#include <algorithm>

#include "index/index.hpp"

namespace vantoro {

void Index::add_document(std::string_view id, const std::vector<std::string_view>& tokens) {
  const NameId known = doc_names_.find(id);
  if (known != StringTable::kAbsent && docs_[known].present) return;

  // Count the tokens: each token string is hashed exactly once, here.
  touched_scratch_.clear();
  for (std::string_view token : tokens) {
    NameId t = intern_token(token, token_names_.hash(token));
    if (t >= count_scratch_.size()) count_scratch_.resize(std::max<size_t>(t + 1, count_scratch_.size() * 2), 0);
    if (count_scratch_[t]++ == 0) touched_scratch_.push_back(t);
  }

  const NameId d = known != StringTable::kAbsent ? known : intern_document(id);
  // Only a loaded token map can list a document that is not present; then the
  // new counts are added to the postings it already has.
  const bool merge = known != StringTable::kAbsent && has_absent_listed_documents_;

  DocumentRecord& doc = docs_[d];
  doc.begin = doc_postings_.size();
  doc.size = static_cast<uint32_t>(touched_scratch_.size());
  uint32_t length = 0;
  for (NameId t : touched_scratch_) {
    const int32_t count = count_scratch_[t];
    count_scratch_[t] = 0;
    length += static_cast<uint32_t>(count);
    doc_postings_.push_back(Posting{t, count});

    TokenRecord& token = tokens_[t];
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
      token.postings.push_back(Posting{d, count});
    }
  }
  doc.length = static_cast<int32_t>(length);
  doc.present = true;
  length_f_[d] = length_as_float(doc.length);
  ++document_count_;
  total_length_ += static_cast<uint64_t>(static_cast<int64_t>(doc.length));
}

}  // namespace vantoro
