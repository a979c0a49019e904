// The postings of one token: the documents that hold it, in ascending
// document id order, each with the token's count there, in fixed blocks of
// postings that carry the bounds that let a search skip a whole block.
//
// Storage per posting: the document id (4 bytes) and the count in one byte
// (counts from 1 to 255; any other count is kept aside, by position), plus
// the stored weight (4 bytes) once the index is frozen.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "index/big_alloc.hpp"

namespace vantoro {

inline constexpr uint32_t kBlockShift = 6;
inline constexpr uint32_t kBlockSize = uint32_t{1} << kBlockShift;  // postings per block

inline uint32_t block_count(uint32_t postings) { return (postings + kBlockSize - 1) >> kBlockShift; }

// What a full block holds, recorded when it fills up: its document range and
// what on-the-fly scoring needs to bound its weights.
struct BlockBounds {
  uint32_t first_doc;
  uint32_t last_doc;
  int32_t max_count;
  float min_length;  // the shortest document length, as the weight formula reads it
};

class PostingList {
 public:
  PostingList() = default;
  PostingList(PostingList&&) noexcept = default;
  PostingList& operator=(PostingList&&) noexcept = default;

  // ---- postings
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* docs() const { return reinterpret_cast<const uint32_t*>(storage_.data()); }
  // One byte per posting: the count, or 0 where the count is kept aside.
  const uint8_t* short_counts() const { return reinterpret_cast<const uint8_t*>(docs() + capacity_); }
  int32_t count(uint32_t pos) const {
    const uint8_t c = short_counts()[pos];
    return c != 0 ? c : long_count(pos);
  }
  int32_t long_count(uint32_t pos) const;
  // Position of the first posting at or after `from` whose document is at
  // least `doc` (size() if none).
  uint32_t seek(uint32_t from, uint32_t doc) const;

  // ---- bounds (valid while the index holds only positive counts and
  // present documents; see Index::regular)
  uint32_t full_blocks() const { return size_ >> kBlockShift; }
  const BlockBounds& block(uint32_t b) const { return blocks_[b]; }
  // Bounds of the postings after the last full block.
  int32_t open_block_max_count() const { return open_max_count_; }
  float open_block_min_length() const { return open_min_length_; }
  // Over the whole list.
  int32_t max_count() const { return max_count_; }
  float min_length() const { return min_length_; }

  // ---- weights stored by the last freeze, for postings [0, weighted())
  uint32_t weighted() const { return weighted_; }
  const float* weights() const { return frozen_.data(); }
  // Largest stored weight of block b (b < block_count(weighted())).
  float block_max_weight(uint32_t b) const { return frozen_[frozen_capacity_ + b]; }
  float max_weight() const { return max_weight_; }

  // ---- changes. Each either completes or throws std::bad_alloc having
  // changed nothing that a reader can see.

  // Makes room for one more posting with this count (or one more inserted).
  void reserve_one(int32_t count);
  // Appends a posting for a document after every listed one. `length` is
  // the document's length as the weight formula reads it. Call reserve_one
  // first; with room made, this cannot fail.
  void append(uint32_t doc, int32_t count, float length) noexcept;
  // Inserts a posting at `pos` (a document between listed ones, possible
  // only in an index loaded from files that disagree). Block bounds go
  // stale; rebuild_bounds() restores them. Call reserve_one first.
  void insert(uint32_t pos, uint32_t doc, int32_t count) noexcept;
  // Adds `delta` to the count at `pos` (wrapping, as 32-bit counts do).
  // May need room for a count kept aside: call reserve_one(new count) first.
  void add_to_count(uint32_t pos, int32_t delta) noexcept;

  // Replaces all postings: docs ascending, unique; counts any value.
  // `lengths` gives each document's length as the formula reads it.
  void assign(const uint32_t* docs, const int32_t* counts, uint32_t n, const float* lengths);
  // Recomputes every block bound from the document lengths.
  void rebuild_bounds(const float* lengths) noexcept;
  // Releases unused room (one copy of the postings).
  void shrink_to_fit();

  // ---- stored weights, replaced in three steps so that a freeze either
  // completes or leaves every list's weights as they were:
  // prepare_weights(n) takes the room (may throw; changes nothing), the
  // caller writes n weights to weight_slots(room), commit_weights installs
  // them with their block maxima (cannot fail). A room of the same size as
  // the current weights is the current storage, overwritten in place.
  struct WeightRoom {
    BigArray<float> fresh;  // empty: write in place
  };
  WeightRoom prepare_weights(uint32_t n);
  float* weight_slots(WeightRoom& room) { return room.fresh.data() ? room.fresh.data() : frozen_.data(); }
  void commit_weights(WeightRoom&& room, uint32_t n) noexcept;
  // Gives the posting just appended or inserted at `pos` its weight, while
  // weights cover every other posting. Call reserve_weight first.
  void reserve_weight();
  void put_weight(uint32_t pos, float weight) noexcept;

  // Bytes held, for memory accounting in tests and benchmarks.
  size_t bytes() const;

 private:
  struct LongCount {
    uint32_t pos;
    int32_t count;
  };
  uint32_t capacity_ = 0;
  uint32_t size_ = 0;
  uint32_t weighted_ = 0;
  uint32_t frozen_capacity_ = 0;
  int32_t max_count_ = std::numeric_limits<int32_t>::min();
  float min_length_ = std::numeric_limits<float>::infinity();
  int32_t open_max_count_ = std::numeric_limits<int32_t>::min();
  float open_min_length_ = std::numeric_limits<float>::infinity();
  float max_weight_ = 0.0f;
  BigArray<char> storage_;          // docs[capacity_] then short counts[capacity_]
  BigArray<BlockBounds> blocks_;    // capacity_ / kBlockSize
  BigArray<float> frozen_;          // weights[frozen_capacity()] then block maxima
  std::unique_ptr<std::vector<LongCount>> long_counts_;  // by position

  uint32_t* mutable_docs() { return reinterpret_cast<uint32_t*>(storage_.data()); }
  uint8_t* mutable_short_counts() { return reinterpret_cast<uint8_t*>(mutable_docs() + capacity_); }
  void grow(uint32_t capacity);
  void set_count(uint32_t pos, int32_t count) noexcept;
  void seal_block(uint32_t b) noexcept;
  void refresh_block_max(uint32_t b) noexcept;
};

inline bool fits_short_count(int32_t count) { return count >= 1 && count <= 255; }

}  // namespace vantoro
