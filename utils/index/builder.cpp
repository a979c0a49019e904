#include "index/builder.hpp"

#include <algorithm>

namespace vantoro {

NameId IndexBuilder::intern_document(std::string_view key) {
  auto [id, added] = index_.doc_names_.intern(key);
  if (added) doc_runs_.emplace_back();
  return id;
}

NameId IndexBuilder::intern_token(std::string_view key) {
  auto [id, added] = index_.token_names_.intern(key);
  if (added) token_runs_.emplace_back();
  return id;
}

void IndexBuilder::put(NameId id, int32_t count) {
  if (id >= slot_of_.size()) slot_of_.resize(std::max<size_t>(size_t{id} + 1, slot_of_.size() * 2), 0);
  uint32_t& slot = slot_of_[id];
  if (slot != 0) {
    pending_[slot - 1].count = count;
  } else {
    pending_.push_back(Posting{id, count});
    slot = static_cast<uint32_t>(pending_.size());
  }
}

void IndexBuilder::close_record(std::vector<Run>& runs, std::vector<Posting>& store, NameId id) {
  for (const Posting& p : pending_) slot_of_[p.id] = 0;
  // A repeated key leaves the earlier record's run unused.
  runs[id] = Run{store.size(), static_cast<uint32_t>(pending_.size()), true};
  store.insert(store.end(), pending_.begin(), pending_.end());
}

void IndexBuilder::begin_document(std::string_view key) {
  current_ = intern_document(key);
  pending_.clear();
}

void IndexBuilder::document_count(std::string_view token, int32_t count) {
  put(intern_token(token), count);
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
  current_ = intern_token(key);
  pending_.clear();
}

void IndexBuilder::token_count(std::string_view document, int32_t count) {
  put(intern_document(document), count);
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
// token file, and both hold as many. Documents are visited in id order and
// every list is in document order, so one cursor per list walks each list
// once.
bool IndexBuilder::maps_agree() const {
  std::vector<uint32_t> cursor(token_runs_.size(), 0);
  for (NameId d = 0; d < doc_runs_.size(); ++d) {
    const Run& run = doc_runs_[d];
    if (!run.present) continue;
    for (uint32_t k = 0; k < run.size; ++k) {
      const Posting& p = doc_store_[run.begin + k];
      if (p.id >= token_runs_.size() || !token_runs_[p.id].present) return false;
      const PostingList& list = index_.tokens_[p.id].list;
      const uint32_t pos = cursor[p.id]++;
      if (pos >= list.size() || list.docs()[pos] != d || list.count(pos) != p.count) return false;
    }
  }
  for (NameId t = 0; t < token_runs_.size(); ++t) {
    if (token_runs_[t].present && cursor[t] != index_.tokens_[t].list.size()) return false;
  }
  return true;
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
    const auto by_document = [](const Posting& a, const Posting& b) { return a.id < b.id; };
    if (!std::is_sorted(postings, postings + run.size, by_document)) {
      sorted.assign(postings, postings + run.size);
      std::sort(sorted.begin(), sorted.end(), by_document);
      postings = sorted.data();
    }
    docs.resize(run.size);
    counts.resize(run.size);
    for (uint32_t k = 0; k < run.size; ++k) {
      docs[k] = postings[k].id;
      counts[k] = postings[k].count;
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
