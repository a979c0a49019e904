// The postings of one token: the documents that hold it, in ascending
// document id order, each with the token's count there, in fixed blocks of
// postings that carry the bounds that let a search skip a whole block.
//
// Storage per posting: the document id (4 bytes) and the count in one byte
// (counts from 1 to 255; any other count is kept aside, by position), plus
// the stored weight (4 bytes) once the index is frozen. The list itself is
// a few pointers and counts, so that a token's entry fits a cache line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "index/big_alloc.hpp"

namespace vantoro {

inline constexpr uint32_t kBlockShift = 6;
inline constexpr uint32_t kBlockSize = uint32_t{1} << kBlockShift;  // postings per block

inline uint32_t block_count(uint32_t postings) { return (postings + kBlockSize - 1) >> kBlockShift; }

// The first of d[begin, end) not below `doc` (end if none), for at most a
// block: halving with a conditional move instead of a jump, since where the
// document lies is data that no branch predictor learns.
inline uint32_t lower_bound_in_block(const uint32_t* d, uint32_t begin, uint32_t end, uint32_t doc) {
  if (begin == end) return end;
  const uint32_t* base = d + begin;
  uint32_t length = end - begin;
  while (length > 1) {
    const uint32_t half = length / 2;
    base = base[half - 1] < doc ? base + half : base;
    length -= half;
  }
  return static_cast<uint32_t>(base - d) + (*base < doc);
}

// Counts from 1 to 255 are held in one byte.
inline bool fits_short_count(int32_t count) { return count >= 1 && count <= 255; }

// What a full block holds, recorded when it fills up: its document range
// and the largest saturation of its postings (the part of the weight that
// depends on count and length, weight_bound.hpp) at the average document
// length of that moment.
struct BlockBounds {
  uint32_t first_doc;
  uint32_t last_doc;
  float max_saturation;
  float average;
};

class PostingList {
 public:
  PostingList() = default;
  PostingList(PostingList&& other) noexcept { swap(other); }
  PostingList& operator=(PostingList&& other) noexcept {
    swap(other);
    return *this;
  }
  ~PostingList();
  void swap(PostingList& other) noexcept;

  // ---- postings
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* docs() const { return reinterpret_cast<const uint32_t*>(storage_); }
  uint32_t last_doc() const { return docs()[size_ - 1]; }
  // One byte per posting: the count, or 0 where the count is kept aside.
  const uint8_t* short_counts() const { return reinterpret_cast<const uint8_t*>(storage_ + size_t{capacity_} * 4); }
  int32_t count(uint32_t pos) const {
    const uint8_t c = short_counts()[pos];
    return c != 0 ? c : long_count(pos);
  }
  int32_t long_count(uint32_t pos) const;
  // Position of the first posting at or after `from` whose document is at
  // least `doc` (size() if none).
  uint32_t seek(uint32_t from, uint32_t doc) const;
  // The first block from `b` on whose last document is at least `doc`, or
  // the block after the full ones.
  uint32_t block_reaching(uint32_t b, uint32_t doc) const {
    const uint32_t full = full_blocks();
    while (b < full && blocks_[b].last_doc < doc) ++b;
    return b;
  }
  // Position as seek() gives it, where `b` is block_reaching(from's block, doc).
  uint32_t seek_in_block(uint32_t b, uint32_t from, uint32_t doc) const {
    const uint32_t begin = std::max(from, b << kBlockShift);
    const uint32_t end = std::max(begin, std::min(size_, (b + 1) << kBlockShift));
    const uint32_t pos = lower_bound_in_block(docs(), begin, end, doc);
    // Only stale bounds (an index loaded from files that disagree) can
    // leave the document beyond the block the bounds pointed to.
    if (pos == end && end < size_) [[unlikely]] return seek_past_block(end, doc);
    return pos;
  }
  // Asks the processor to fetch block b's documents ahead of a search there.
  void prefetch_block(uint32_t b) const {
    const uint32_t end = std::min(size_, (b + 1) << kBlockShift);
    for (uint32_t i = b << kBlockShift; i < end; i += 16) __builtin_prefetch(docs() + i);
  }

  // ---- bounds of full blocks (valid while the index holds only positive
  // counts, non-negative lengths and present documents; Index::regular)
  uint32_t full_blocks() const { return size_ >> kBlockShift; }
  const BlockBounds& block(uint32_t b) const { return blocks_[b]; }

  // ---- weights stored by the last freeze, for postings [0, weighted())
  uint32_t weighted() const { return weighted_; }
  const float* weights() const { return frozen_; }
  // Largest stored weight of block b (b < block_count(weighted())).
  float block_max_weight(uint32_t b) const { return frozen_[frozen_capacity_ + b]; }
  // Largest stored weight (0.0 if none).
  float max_weight() const { return max_weight_; }

  // ---- changes. Each either completes or throws std::bad_alloc having
  // changed nothing that a reader can see.

  // Makes room for one more posting with this count (or one more inserted).
  void reserve_one(int32_t count) {
    if (size_ < capacity_ && fits_short_count(count)) return;
    reserve_one_slow(count);
  }
  // Appends a posting for a document after every listed one. `lengths`
  // gives every document's length as the weight formula reads it and
  // `average` the average length, for the bounds of a block that fills up.
  // Call reserve_one first; with room made, this cannot fail.
  void append(uint32_t doc, int32_t count, const float* lengths, float average) noexcept {
    const uint32_t pos = size_;
    mutable_docs()[pos] = doc;
    set_count(pos, count);
    ++size_;
    if ((size_ & (kBlockSize - 1)) == 0) seal_block((size_ >> kBlockShift) - 1, lengths, average);
  }
  // Inserts a posting at `pos` (a document between listed ones: its name
  // was known before it was added). Block bounds go stale; rebuild_bounds()
  // restores them. Call reserve_one first.
  void insert(uint32_t pos, uint32_t doc, int32_t count) noexcept;
  // Adds `delta` to the count at `pos` (wrapping, as 32-bit counts do).
  // May need room for a count kept aside: call reserve_one(new count) first.
  void add_to_count(uint32_t pos, int32_t delta) noexcept;

  // A count kept aside: its position and value (the short count there is 0).
  struct LongCount {
    uint32_t pos;
    int32_t count;
  };
  // Replaces all postings: docs ascending, unique; counts any value.
  void assign(const uint32_t* docs, const int32_t* counts, uint32_t n, const float* lengths, float average);
  // Replaces all postings with n (at least 1) held in `storage`, a block
  // from big_allocate laid out as this list keeps them for `capacity`
  // postings: documents ascending and unique, then one-byte counts, 0 where
  // the count is in `long_counts` (by position). The list owns the block
  // from the call on, even when the call throws; it shrinks it to n.
  void adopt(char* storage, uint32_t n, uint32_t capacity, std::vector<LongCount>&& long_counts,
             const float* lengths, float average);
  // Recomputes every block bound.
  void rebuild_bounds(const float* lengths, float average) noexcept;
  // The same bounds, for a list whose counts are all at least 1 and whose
  // documents' lengths are all at least 0, from each document's
  // saturation_base() at `average` (positive and finite), computed once per
  // document instead of once per posting.
  void rebuild_bounds_from_bases(const float* bases, float average) noexcept;
  // Releases unused room where it is worth a copy of the postings.
  void shrink_to_fit();

  // ---- stored weights, replaced in three steps so that a freeze either
  // completes or leaves every list's weights as they were:
  // prepare_weights(n) takes the room (may throw; changes nothing), the
  // caller writes n weights to weight_slots(room) (and, if it likes, each
  // block's largest after them, at slots[n + block]), commit_weights
  // installs them and computes the block maxima unless they were written
  // (cannot fail). A room of the same size as the current weights is the
  // current storage, overwritten in place.
  struct WeightRoom {
    BigArray<float> fresh;  // empty: write in place
  };
  WeightRoom prepare_weights(uint32_t n);
  float* weight_slots(WeightRoom& room) { return room.fresh.data() ? room.fresh.data() : frozen_; }
  void commit_weights(WeightRoom&& room, uint32_t n, bool maxima_written = false) noexcept;
  // Installs weights of n postings that lie, with their block maxima after
  // them, in storage the list does not own (a freeze's arena, which outlives
  // the list's use of it); the list copies them before it changes them.
  // Cannot fail.
  void share_weights(float* weights, uint32_t n) noexcept;
  // Floats that weights of n postings take with their block maxima.
  static size_t weight_floats(uint32_t n) { return frozen_floats(n); }
  // Gives the posting just appended or inserted at `pos` its weight, while
  // weights cover every other posting. Call reserve_weight first.
  void reserve_weight();
  void put_weight(uint32_t pos, float weight) noexcept;

  // Bytes of storage for `capacity` postings: documents, then one-byte counts.
  static size_t storage_bytes(uint32_t capacity) { return size_t{capacity} * 5; }
  // Bytes held, for memory accounting in tests and benchmarks.
  size_t bytes() const;

 private:
  static size_t frozen_floats(uint32_t capacity) { return size_t{capacity} + block_count(capacity); }
  uint32_t* mutable_docs() { return reinterpret_cast<uint32_t*>(storage_); }
  uint8_t* mutable_short_counts() { return reinterpret_cast<uint8_t*>(storage_ + size_t{capacity_} * 4); }
  void resize_storage(uint32_t capacity);
  void reserve_one_slow(int32_t count);
  void set_count(uint32_t pos, int32_t count) noexcept {
    if (count >= 1 && count <= 255 && !long_counts_) {
      mutable_short_counts()[pos] = static_cast<uint8_t>(count);
    } else {
      set_count_slow(pos, count);
    }
  }
  void set_count_slow(uint32_t pos, int32_t count) noexcept;
  void seal_block(uint32_t b, const float* lengths, float average) noexcept;
  uint32_t seek_past_block(uint32_t from, uint32_t doc) const;
  // Takes the postings, counts and bounds of `fresh`, which gets this
  // list's; the weights stay.
  void take_postings(PostingList& fresh) noexcept;
  void refresh_block_max(uint32_t b) noexcept;

  char* storage_ = nullptr;        // docs[capacity_] then short counts[capacity_]
  BlockBounds* blocks_ = nullptr;  // capacity_ >> kBlockShift
  float* frozen_ = nullptr;        // weights[frozen_capacity_] then block maxima
  std::unique_ptr<std::vector<LongCount>> long_counts_;  // by position
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
  uint32_t weighted_ = 0;
  uint32_t frozen_capacity_ = 0;
  float max_weight_ = 0.0f;
  bool frozen_owned_ = true;  // false: frozen_ lies in the index's weight arena
};

}  // namespace vantoro
