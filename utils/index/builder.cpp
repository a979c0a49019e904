#include "index/builder.hpp"

#include <algorithm>

namespace vantoro {
namespace {

// Adds (id, count) to the record being built; a repeated id replaces its count.
void put(std::vector<Posting>& pending, std::vector<uint32_t>& slot_of, NameId id, int32_t count) {
  if (id >= slot_of.size()) slot_of.resize(size_t{id} + 1 > slot_of.size() * 2 ? size_t{id} + 1 : slot_of.size() * 2, 0);
  uint32_t& slot = slot_of[id];
  if (slot != 0) {
    pending[slot - 1].count = count;
  } else {
    pending.push_back(Posting{id, count});
    slot = static_cast<uint32_t>(pending.size());
  }
}

void clear_slots(const std::vector<Posting>& pending, std::vector<uint32_t>& slot_of) {
  for (const Posting& p : pending) slot_of[p.id] = 0;
}

// put() for a batch, in two passes so that the record slots of all names
// are requested before any is needed (the table slots were prefetched when
// the hashes were computed).
template <class Intern>
void put_all(const StringTable& names, Intern intern, const std::string_view* keys,
             const IndexBuilder::NameHash* hashes, const int32_t* counts, size_t n, std::vector<NameId>& ids,
             std::vector<Posting>& pending, std::vector<uint32_t>& slot_of) {
  ids.resize(n);
  for (size_t i = 0; i < n; ++i) {
    // A switch to the strong hash since the hash was computed makes it stale.
    const uint64_t h = hashes[i].strong == names.strong() ? hashes[i].value : names.hash(keys[i]);
    ids[i] = intern(keys[i], h);
    if (ids[i] < slot_of.size()) __builtin_prefetch(&slot_of[ids[i]]);
  }
  for (size_t i = 0; i < n; ++i) put(pending, slot_of, ids[i], counts[i]);
}

IndexBuilder::NameHash prefetch_name(const StringTable& names, std::string_view name) {
  const IndexBuilder::NameHash h{names.hash(name), names.strong()};
  names.prefetch(h.value);
  return h;
}

}  // namespace

IndexBuilder::NameHash IndexBuilder::prefetch_document_name(std::string_view name) const {
  return prefetch_name(index_.doc_names_, name);
}

IndexBuilder::NameHash IndexBuilder::prefetch_token_name(std::string_view name) const {
  return prefetch_name(index_.token_names_, name);
}

void IndexBuilder::begin_document(std::string_view key) {
  current_ = index_.intern_document(key);
  pending_.clear();
}

void IndexBuilder::document_count(std::string_view token, int32_t count) {
  put(pending_, slot_of_, index_.intern_token(token, index_.token_names_.hash(token)), count);
}

void IndexBuilder::document_counts(const std::string_view* tokens, const NameHash* hashes, const int32_t* counts,
                                   size_t n) {
  put_all(
      index_.token_names_, [this](std::string_view key, uint64_t h) { return index_.intern_token(key, h); }, tokens,
      hashes, counts, n, ids_, pending_, slot_of_);
}

void IndexBuilder::end_document(std::string_view record_id) {
  clear_slots(pending_, slot_of_);
  Index& ix = index_;
  DocumentRecord& doc = ix.docs_[current_];
  if (doc.present) {
    // A repeated key: the earlier record's postings are left unused.
    --ix.document_count_;
    ix.total_length_ -= static_cast<uint64_t>(static_cast<int64_t>(doc.length));
  }
  Posting* run = ix.doc_postings_.allocate(pending_.size());
  std::copy(pending_.begin(), pending_.end(), run);
  doc.postings = run;
  doc.size = static_cast<uint32_t>(pending_.size());
  uint32_t length = 0;
  for (const Posting& p : pending_) length += static_cast<uint32_t>(p.count);
  doc.length = static_cast<int32_t>(length);
  doc.present = true;
  ix.length_f_[current_] = length_as_float(doc.length);
  ++ix.document_count_;
  ix.total_length_ += static_cast<uint64_t>(static_cast<int64_t>(doc.length));
  if (record_id != ix.doc_names_.name(current_)) {
    ix.record_ids_[current_] = std::string(record_id);
  } else {
    ix.record_ids_.erase(current_);
  }
}

void IndexBuilder::begin_token(std::string_view key) {
  current_ = index_.intern_token(key, index_.token_names_.hash(key));
  pending_.clear();
}

void IndexBuilder::token_count(std::string_view document, int32_t count) {
  put(pending_, slot_of_, index_.intern_document(document), count);
}

void IndexBuilder::token_counts(const std::string_view* documents, const NameHash* hashes, const int32_t* counts,
                                size_t n) {
  put_all(
      index_.doc_names_, [this](std::string_view key, uint64_t h) { return index_.intern_document(key, h); },
      documents, hashes, counts, n, ids_, pending_, slot_of_);
}

void IndexBuilder::end_token(std::string_view record_text) {
  clear_slots(pending_, slot_of_);
  Index& ix = index_;
  TokenRecord& token = ix.tokens_[current_];
  if (!token.present) ++ix.token_count_;
  token.present = true;
  token.postings.assign(pending_.begin(), pending_.end());
  if (record_text != ix.token_names_.name(current_)) {
    ix.record_texts_[current_] = std::string(record_text);
  } else {
    ix.record_texts_.erase(current_);
  }
}

Index IndexBuilder::take() {
  Index& ix = index_;
  for (const TokenRecord& token : ix.tokens_) {
    for (const Posting& p : token.postings) {
      if (!ix.docs_[p.id].present) {
        ix.has_absent_listed_documents_ = true;
        return std::move(index_);
      }
    }
  }
  return std::move(index_);
}

}  // namespace vantoro
