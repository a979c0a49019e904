// Where a search takes each posting's contribution and the bounds of a
// block of postings: the weights stored by the last freeze, or weights
// computed from the index as it is now. The two searches share every other
// step (window_search.hpp).
#pragma once

#include <algorithm>
#include <cmath>

#include "fault.hpp"
#include "index/bm25.hpp"
#include "index/index.hpp"
#include "index/weight_bound.hpp"

namespace vantoro {

// Postings after the stored ones (added since the last freeze) contribute 0.0.
class StoredWeights {
 public:
  explicit StoredWeights(const PostingList& list)
      : weights_(list.weights()), weighted_(list.weighted()), list_(&list) {}

  // Contributions of postings [begin, end) (at most a block): in place
  // where all are stored, else copied into `scratch`.
  const float* contributions(uint32_t begin, uint32_t end, float* scratch) const {
    if (end <= weighted_) return weights_ + begin;
    const uint32_t stored_end = std::max(begin, weighted_);
    uint32_t i = begin;
    for (; i < stored_end; ++i) scratch[i - begin] = weights_[i];
    for (; i < end; ++i) scratch[i - begin] = 0.0f;
    return scratch;
  }
  float weight(uint32_t pos) const { return pos < weighted_ ? weights_[pos] : 0.0f; }
  float block_bound(uint32_t b) const { return b < block_count(weighted_) ? list_->block_max_weight(b) : 0.0f; }
  float list_bound() const { return list_->max_weight(); }

 private:
  const float* weights_;
  uint32_t weighted_;
  const PostingList* list_;
};

// Weights from the statistics of the index at the moment of the search.
class LiveWeights {
 public:
  struct Context {
    const float* lengths;
    float avg;
    float k1;
    float b;
    uint64_t documents;
    bool check_missing;  // an irregular index: a missing document fails the search
  };

  LiveWeights(const PostingList& list, const Context& context)
      : list_(&list), context_(context), factor_(idf_factor(context.documents, list.size())) {}

  // Contributions of postings [begin, end) (at most a block), computed
  // into `scratch`: the gather of lengths and counts apart from the
  // arithmetic, which the compiler then runs on vector registers.
  const float* contributions(uint32_t begin, uint32_t end, float* scratch) const {
    const uint32_t* docs = list_->docs();
    const uint8_t* short_counts = list_->short_counts();
    float dl[kBlockSize];
    int32_t tf[kBlockSize];
    const uint32_t size = end - begin;
    bool missing = false;
    for (uint32_t i = 0; i < size; ++i) {
      dl[i] = context_.lengths[docs[begin + i]];
      const uint8_t c = short_counts[begin + i];
      tf[i] = c != 0 ? c : list_->long_count(begin + i);
      missing |= std::isnan(dl[i]);
    }
    if (context_.check_missing && missing) throw Fault(kMissingValue);
    for (uint32_t i = 0; i < size; ++i) scratch[i] = weight_of(tf[i], dl[i]);
    return scratch;
  }
  float weight(uint32_t pos) const {
    const float dl = context_.lengths[list_->docs()[pos]];
    if (context_.check_missing && std::isnan(dl)) throw Fault(kMissingValue);
    return weight_of(list_->count(pos), dl);
  }
  float block_bound(uint32_t b) const {
    return b < list_->full_blocks() ? bound(list_->block(b).max_count, list_->block(b).min_length)
                                    : bound(list_->open_block_max_count(), list_->open_block_min_length());
  }
  float list_bound() const { return bound(list_->max_count(), list_->min_length()); }

 private:
  float weight_of(int32_t tf, float dl) const {
    return token_weight(context_.k1, context_.b, factor_, tf, dl, context_.avg);
  }
  float bound(int32_t max_count, float min_length) const {
    return weight_upper_bound(context_.k1, context_.b, factor_, max_count, min_length, context_.avg);
  }

  const PostingList* list_;
  Context context_;
  float factor_;
};

}  // namespace vantoro
