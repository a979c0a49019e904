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

NameId IndexBuilder::intern_document(std::string_view key, uint64_t h) {
  auto [id, added] = index_.doc_names_.intern(key, h);
  if (added) doc_runs_.emplace_back();
  return id;
}

NameId IndexBuilder::intern_token(std::string_view key, uint64_t h) {
  auto [id, added] = index_.token_names_.intern(key, h);
  if (added) token_runs_.emplace_back();
  return id;
}

void IndexBuilder::close_record(std::vector<Run>& runs, std::vector<Posting>& store, NameId id) {
  for (const Posting& p : pending_) slot_of_[p.id] = 0;
  // A repeated key leaves the earlier record's run unused.
  runs[id] = Run{store.size(), static_cast<uint32_t>(pending_.size()), true};
  store.insert(store.end(), pending_.begin(), pending_.end());
}

void IndexBuilder::begin_document(std::string_view key) {
  current_ = intern_document(key, index_.doc_names_.hash(key));
  pending_.clear();
}

void IndexBuilder::document_count(std::string_view token, int32_t count) {
  put(pending_, slot_of_, intern_token(token, index_.token_names_.hash(token)), count);
}

void IndexBuilder::document_counts(const std::string_view* tokens, const NameHash* hashes, const int32_t* counts,
                                   size_t n) {
  put_all(
      index_.token_names_, [this](std::string_view key, uint64_t h) { return intern_token(key, h); }, tokens, hashes,
      counts, n, ids_, pending_, slot_of_);
}

void IndexBuilder::end_document(std::string_view record_id) {
  close_record(doc_runs_, doc_store_, current_);
  if (record_id != index_.doc_names_.name(current_)) {
    index_.record_ids_[current_] = std::string(record_id);
  } else {
    index_.record_ids_.erase(current_);
  }
}

void IndexBuilder::begin_token(std::string_view key) {
  current_ = intern_token(key, index_.token_names_.hash(key));
  pending_.clear();
}

void IndexBuilder::token_count(std::string_view document, int32_t count) {
  put(pending_, slot_of_, intern_document(document, index_.doc_names_.hash(document)), count);
}

void IndexBuilder::token_counts(const std::string_view* documents, const NameHash* hashes, const int32_t* counts,
                                size_t n) {
  put_all(
      index_.doc_names_, [this](std::string_view key, uint64_t h) { return intern_document(key, h); }, documents,
      hashes, counts, n, ids_, pending_, slot_of_);
}

void IndexBuilder::end_token(std::string_view record_text) {
  close_record(token_runs_, token_store_, current_);
  if (record_text != index_.token_names_.name(current_)) {
    index_.record_texts_[current_] = std::string(record_text);
  } else {
    index_.record_texts_.erase(current_);
  }
}

// Whether every document's map is exactly its column of the token lists:
// each (document, token, count) of the documents file is a posting of the
// token file, and both hold as many.
bool IndexBuilder::maps_agree() const {
  uint64_t matched = 0;
  uint64_t listed = 0;
  for (NameId t = 0; t < token_runs_.size(); ++t) {
    if (token_runs_[t].present) listed += index_.tokens_[t].list.size();
  }
  for (NameId d = 0; d < doc_runs_.size(); ++d) {
    const Run& run = doc_runs_[d];
    if (!run.present) continue;
    for (uint32_t k = 0; k < run.size; ++k) {
      const Posting& p = doc_store_[run.begin + k];
      if (p.id >= token_runs_.size() || !token_runs_[p.id].present) return false;
      const PostingList& list = index_.tokens_[p.id].list;
      const uint32_t pos = list.seek(0, d);
      if (pos >= list.size() || list.docs()[pos] != d || list.count(pos) != p.count) return false;
      ++matched;
    }
  }
  return matched == listed;
}

Index IndexBuilder::take() {
  Index& ix = index_;
  const uint32_t documents = ix.doc_names_.size();
  const uint32_t tokens = ix.token_names_.size();

  // Documents: lengths from their own maps.
  ix.lengths_.assign(documents, 0);
  ix.lengths_f_.assign(documents, std::numeric_limits<float>::quiet_NaN());
  for (NameId d = 0; d < documents; ++d) {
    const Run& run = doc_runs_[d];
    if (!run.present) continue;
    uint32_t length = 0;
    for (uint32_t k = 0; k < run.size; ++k) length += static_cast<uint32_t>(doc_store_[run.begin + k].count);
    ix.lengths_[d] = static_cast<int32_t>(length);
    ix.lengths_f_[d] = length_as_float(ix.lengths_[d]);
    ++ix.document_count_;
    ix.total_length_ += static_cast<uint64_t>(static_cast<int64_t>(ix.lengths_[d]));
  }

  // Tokens: each record's postings in document order.
  ix.tokens_.resize(tokens);
  const float average = ix.current_average();
  std::vector<uint32_t> docs;
  std::vector<int32_t> counts;
  std::vector<Posting> sorted;
  for (NameId t = 0; t < tokens; ++t) {
    const Run& run = token_runs_[t];
    if (!run.present) continue;
    ix.tokens_[t].present = true;
    ++ix.token_count_;
    const Posting* postings = token_store_.data() + run.begin;
    sorted.assign(postings, postings + run.size);
    std::sort(sorted.begin(), sorted.end(), [](const Posting& a, const Posting& b) { return a.id < b.id; });
    docs.resize(run.size);
    counts.resize(run.size);
    for (uint32_t k = 0; k < run.size; ++k) {
      docs[k] = sorted[k].id;
      counts[k] = sorted[k].count;
    }
    ix.tokens_[t].list.assign(docs.data(), counts.data(), run.size, ix.lengths_f_.data(), average);
  }

  if (!maps_agree()) {
    auto maps = std::make_unique<DocumentMaps>();
    maps->runs.resize(documents);
    for (NameId d = 0; d < documents; ++d) {
      const Run& run = doc_runs_[d];
      if (!run.present) continue;
      maps->runs[d] = DocumentMaps::Run{maps->postings.size(), run.size};
      maps->postings.insert(maps->postings.end(), doc_store_.begin() + static_cast<ptrdiff_t>(run.begin),
                            doc_store_.begin() + static_cast<ptrdiff_t>(run.begin + run.size));
    }
    ix.doc_maps_ = std::move(maps);
  }
  // The lists' bounds were computed from the final lengths.
  ix.regular_ = true;
  ix.check_regular();
  return std::move(index_);
}

}  // namespace vantoro
