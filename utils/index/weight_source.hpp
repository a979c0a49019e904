// Where a search takes each posting's contribution and the bounds of a
// block of postings: the weights stored by the last freeze, or weights
// computed from the index as it is now. The two searches share every other
// step (window_search.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

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
  void prefetch(uint32_t pos) const { __builtin_prefetch(weights_ + pos); }
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

  // `bounds`: whether the search will ask for block bounds (they are
  // computed here, once per search, for every block).
  LiveWeights(const PostingList& list, const Context& context, bool bounds)
      : list_(&list), context_(context), factor_(idf_factor(context.documents, list.size())) {
    if (!bounds) return;
    const uint32_t full = list.full_blocks();
    bounds_.resize(size_t{full} + 1);
    for (uint32_t b = 0; b < full; ++b) {
      const BlockBounds& block = list.block(b);
      bounds_[b] = weight_bound(context.k1, factor_, block.max_saturation, block.average, context.avg);
      list_bound_ = std::max(list_bound_, bounds_[b]);
    }
    // The postings after the last full block have no recorded bound: their
    // largest weight, computed now, is one (the same values a search gets).
    float open = 0.0f;
    float scratch[kBlockSize];
    const uint32_t begin = full << kBlockShift;
    const float* w = contributions(begin, list.size(), scratch);
    for (uint32_t i = 0; i < list.size() - begin; ++i) open = std::max(open, w[i]);
    bounds_[full] = open;
    list_bound_ = std::max(list_bound_, open);
  }

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
  void prefetch(uint32_t pos) const { __builtin_prefetch(context_.lengths + list_->docs()[pos]); }
  float block_bound(uint32_t b) const { return bounds_[b]; }
  float list_bound() const { return list_bound_; }

 private:
  float weight_of(int32_t tf, float dl) const {
    return token_weight(context_.k1, context_.b, factor_, tf, dl, context_.avg);
  }

  const PostingList* list_;
  Context context_;
  float factor_;
  std::vector<float> bounds_;  // per block
  float list_bound_ = 0.0f;
};

}  // namespace vantoro
