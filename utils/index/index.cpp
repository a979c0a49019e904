#include "index/index.hpp"

namespace vantoro {

Index::Index() = default;

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

NameId Index::intern_document(std::string_view key) { return intern_document(key, doc_names_.hash(key)); }

NameId Index::intern_document(std::string_view key, uint64_t h) {
  auto [id, added] = doc_names_.intern(key, h);
  if (added) {
    docs_.emplace_back();
    length_f_.push_back(std::numeric_limits<float>::quiet_NaN());
  }
  return id;
}

NameId Index::intern_token(std::string_view key, uint64_t h) {
  auto [id, added] = token_names_.intern(key, h);
  if (added) tokens_.emplace_back();
  return id;
}

}  // namespace vantoro
