#include "index/index.hpp"

#include <algorithm>

namespace vantoro {

Index::Index() = default;
Index::~Index() = default;
Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;

std::string_view Index::document_record_id(NameId d) const {
  if (!record_ids_.empty()) {
    auto it = record_ids_.find(d);
    if (it != record_ids_.end()) return it->second;
  }
  return doc_names_.name(d);
}

std::string_view Index::token_record_text(NameId t) const {
  if (!record_texts_.empty()) {
    auto it = record_texts_.find(t);
    if (it != record_texts_.end()) return it->second;
  }
  return token_names_.name(t);
}

size_t Index::posting_bytes() const {
  size_t bytes = tokens_.capacity() * sizeof(TokenSlot) + weight_arena_.capacity() * sizeof(float);
  for (const TokenSlot& slot : tokens_) bytes += slot.list.bytes();
  return bytes;
}

float Index::current_average() const { return average_length(total_length_, document_count_); }

void Index::check_regular() {
  bool regular = true;
  for (NameId d = 0; d < doc_names_.size() && regular; ++d) regular = !document_present(d) || lengths_[d] >= 0;
  const float* lengths = lengths_f_.data();
  for (NameId t = 0; t < tokens_.size() && regular; ++t) {
    const PostingList& list = tokens_[t].list;
    const uint32_t* docs = list.docs();
    for (uint32_t i = 0; i < list.size(); ++i) {
      if (std::isnan(lengths[docs[i]]) || list.count(i) < 1) {
        regular = false;
        break;
      }
    }
  }
  if (regular && !regular_) {
    const float average = current_average();
    for (TokenSlot& slot : tokens_) slot.list.rebuild_bounds(lengths, average);
  }
  regular_ = regular;
}

float Index::snapshot_weight(NameId d, NameId t) const {
  const Index& old = *snapshot_;
  const NameId old_t = old.find_token(token_names_.name(t));
  if (old_t == StringTable::kAbsent) return 0.0f;
  const PostingList& list = old.tokens_[old_t].list;
  if (list.weighted() == 0) return 0.0f;
  const NameId old_d = old.find_document(doc_names_.name(d));
  if (old_d == StringTable::kAbsent) return 0.0f;
  const uint32_t* docs = list.docs();
  const uint32_t* end = docs + list.weighted();
  const uint32_t* it = std::lower_bound(docs, end, old_d);
  return it != end && *it == old_d ? list.weights()[it - docs] : 0.0f;
}

}  // namespace vantoro
