// Adding one document: count its tokens and put one posting per distinct
// token into the inverted index.
//
// The work runs in passes over the document's tokens so that the memory
// reads of one pass (table slots, token slots, list tails) are requested for
// all tokens before any is needed: the misses overlap instead of queueing.
//
// Every allocation happens before the first change that a reader can see:
// when memory runs out, the document is not added and the index answers
// exactly as before (names interned on the way are not observable).
#include <algorithm>

#include "index/index.hpp"

namespace vantoro {
namespace {

using Place = Index::PostingPlan::Place;
using Plan = Index::PostingPlan;

template <class V>
void reserve_geometric(V& v, size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() + v.capacity() / 2));
}

}  // namespace

void Index::add_document(std::string_view id, const std::vector<std::string_view>& tokens) {
  const uint64_t id_hash = doc_names_.hash(id);
  const bool id_strong = doc_names_.strong();
  NameId d = doc_names_.find(id, id_hash);
  if (d != StringTable::kAbsent && document_present(d)) return;

  const size_t n = tokens.size();
  token_scratch_.resize(n);
  reserve_geometric(tokens_, n);
  try {
    intern_tokens(tokens, token_scratch_.data());
  } catch (...) {
    tokens_.resize(token_names_.size());  // slots for the names interned so far
    throw;
  }
  tokens_.resize(token_names_.size());  // room reserved above: cannot fail
  if (d == StringTable::kAbsent) {
    lengths_.reserve_more(1);
    lengths_f_.reserve_more(1);
    // The table may have switched to its strong hash since: then rehash.
    auto [interned, added] = doc_names_.intern(id, doc_names_.strong() == id_strong ? id_hash : doc_names_.hash(id));
    if (added) {
      lengths_.push_back_reserved(0);
      lengths_f_.push_back_reserved(std::numeric_limits<float>::quiet_NaN());
    }
    d = interned;
  }
  add_postings(d, token_scratch_.data(), n);
}

void Index::intern_tokens(const std::vector<std::string_view>& tokens, NameId* ids) {
  const size_t n = tokens.size();
  hash_scratch_.resize(n);
  // Each token string is hashed once, here (twice only in the document
  // during which the table switches to its collision-resistant hash).
  const bool strong = token_names_.strong();
  for (size_t i = 0; i < n; ++i) {
    hash_scratch_[i] = token_names_.hash(tokens[i]);
    token_names_.prefetch(hash_scratch_[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (token_names_.strong() != strong) hash_scratch_[i] = token_names_.hash(tokens[i]);
    ids[i] = token_names_.intern(tokens[i], hash_scratch_[i]).first;
  }
}

void Index::add_resolved(NameId d, bool new_name, const NameId* ids, size_t n) {
  const NameId top = n == 0 ? 0 : *std::max_element(ids, ids + n);
  if (n != 0 && top >= tokens_.size()) {
    reserve_geometric(tokens_, size_t{top} + 1 - tokens_.size());
    tokens_.resize(size_t{top} + 1);  // room reserved: cannot fail
  }
  if (new_name) {
    // Room was made for every name of the list before the stages started.
    lengths_.push_back_reserved(0);
    lengths_f_.push_back_reserved(std::numeric_limits<float>::quiet_NaN());
  }
  add_postings(d, ids, n);
}

void Index::add_postings(NameId d, const NameId* ids, size_t n) {
  touched_scratch_.clear();
  touched_scratch_.reserve(n);
  for (size_t i = 0; i < n; ++i) __builtin_prefetch(&tokens_[ids[i]]);
  for (size_t i = 0; i < n; ++i) {
    TokenSlot& slot = tokens_[ids[i]];
    if (slot.pending++ == 0) {
      touched_scratch_.push_back(ids[i]);
      // The list's tail, where the posting will be written.
      __builtin_prefetch(slot.list.docs() + slot.list.size(), 1);
      __builtin_prefetch(slot.list.short_counts() + slot.list.size(), 1);
    }
  }

  // Reserve everything the document needs; on failure undo the counting.
  std::vector<Plan>& plans = plan_scratch_;
  try {
    plans.resize(touched_scratch_.size());
    if (doc_maps_) {
      reserve_geometric(doc_maps_->runs, 1);
      reserve_geometric(doc_maps_->postings, touched_scratch_.size());
    }
    if (doc_maps_ && doc_maps_->runs.size() <= d) reserve_geometric(doc_maps_->runs, size_t{d} + 1 - doc_maps_->runs.size());
    for (size_t k = 0; k < touched_scratch_.size(); ++k) {
      PostingList& list = tokens_[touched_scratch_[k]].list;
      const int32_t count = tokens_[touched_scratch_[k]].pending;
      Plan plan{Place::append, list.size()};
      if (!list.empty() && list.last_doc() >= d) {
        // Only a document whose name was known before (a load, or an add
        // that ran out of memory) can sort before listed documents.
        plan.pos = list.seek(0, d);
        plan.place = plan.pos < list.size() && list.docs()[plan.pos] == d ? Place::merge : Place::insert;
      }
      plans[k] = plan;
      if (plan.place == Place::merge) {
        list.reserve_one(static_cast<int32_t>(static_cast<uint32_t>(list.count(plan.pos)) + static_cast<uint32_t>(count)));
      } else {
        list.reserve_one(count);
        if (snapshot_ || plan.pos < list.weighted()) list.reserve_weight();
      }
    }
  } catch (...) {
    for (NameId t : touched_scratch_) tokens_[t].pending = 0;
    throw;
  }

  // Commit: nothing below allocates or fails.
  uint32_t length = 0;
  for (NameId t : touched_scratch_) length += static_cast<uint32_t>(tokens_[t].pending);
  const int32_t signed_length = static_cast<int32_t>(length);
  lengths_[d] = signed_length;
  lengths_f_[d] = length_as_float(signed_length);
  // Blocks that fill up record the average before this document counts.
  const float average = current_average();
  if (doc_maps_) {
    if (doc_maps_->runs.size() <= d) doc_maps_->runs.resize(size_t{d} + 1);  // room reserved above
    doc_maps_->runs[d] = DocumentMaps::Run{doc_maps_->postings.size(), static_cast<uint32_t>(touched_scratch_.size())};
  }
  for (size_t k = 0; k < touched_scratch_.size(); ++k) {
    const NameId t = touched_scratch_[k];
    TokenSlot& slot = tokens_[t];
    PostingList& list = slot.list;
    const int32_t count = slot.pending;
    slot.pending = 0;
    if (doc_maps_) doc_maps_->postings.push_back(Posting{t, count});
    if (!slot.present) {
      slot.present = true;
      ++token_count_;
    }
    const Plan plan = plans[k];
    switch (plan.place) {
      case Place::append:
        list.append(d, count, lengths_f_.data(), average);
        if (snapshot_) list.put_weight(plan.pos, snapshot_weight(d, t));
        break;
      case Place::insert:
        list.insert(plan.pos, d, count);
        if (plan.pos < list.weighted() || snapshot_) list.put_weight(plan.pos, snapshot_ ? snapshot_weight(d, t) : 0.0f);
        // Every search reads the blocks' document ranges, also of an
        // irregular index; an insert moves them and can fill a block.
        list.rebuild_bounds(lengths_f_.data(), average);
        break;
      case Place::merge:
        list.add_to_count(plan.pos, count);
        break;
    }
  }
  ++document_count_;
  ++changes_;
  total_length_ += static_cast<uint64_t>(static_cast<int64_t>(signed_length));
  if (signed_length < 0) regular_ = false;
}

}  // namespace vantoro
