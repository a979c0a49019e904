#include "index/posting_list.hpp"

#include <algorithm>
#include <cstring>

namespace vantoro {
namespace {

constexpr int32_t kNoCount = std::numeric_limits<int32_t>::min();
constexpr float kNoLength = std::numeric_limits<float>::infinity();

// Growth by half, not doubling: less slack in the largest structure.
uint32_t grown_capacity(uint32_t capacity, uint32_t needed) {
  uint64_t next = capacity < 4 ? 4 : uint64_t{capacity} + capacity / 2;
  if (next < needed) next = needed;
  return static_cast<uint32_t>(std::min<uint64_t>(next, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

int32_t PostingList::long_count(uint32_t pos) const {
  const std::vector<LongCount>& list = *long_counts_;
  auto it = std::lower_bound(list.begin(), list.end(), pos, [](const LongCount& e, uint32_t p) { return e.pos < p; });
  return it->count;
}

uint32_t PostingList::seek(uint32_t from, uint32_t doc) const {
  const uint32_t* d = docs();
  // Whole blocks first, by their last document, then within the block.
  uint32_t b = from >> kBlockShift;
  const uint32_t full = full_blocks();
  while (b < full && blocks_[b].last_doc < doc) ++b;
  uint32_t pos = std::max(from, b << kBlockShift);
  const uint32_t end = std::max(pos, std::min(size_, (b + 1) << kBlockShift));
  pos = static_cast<uint32_t>(std::lower_bound(d + pos, d + end, doc) - d);
  // Only stale bounds (an index loaded from files that disagree) can leave
  // the document beyond the block the bounds pointed to.
  if (pos == end && end < size_) pos = static_cast<uint32_t>(std::lower_bound(d + end, d + size_, doc) - d);
  return pos;
}

void PostingList::grow(uint32_t capacity) {
  BigArray<char> storage(size_t{capacity} * 5);
  BigArray<BlockBounds> blocks(capacity >> kBlockShift);
  if (size_) {
    std::memcpy(storage.data(), docs(), size_t{size_} * 4);
    std::memcpy(storage.data() + size_t{capacity} * 4, short_counts(), size_);
  }
  if (full_blocks()) std::memcpy(blocks.data(), blocks_.data(), sizeof(BlockBounds) * full_blocks());
  storage_.swap(storage);
  blocks_.swap(blocks);
  capacity_ = capacity;
}

void PostingList::reserve_one(int32_t count) {
  if (!fits_short_count(count)) {
    if (!long_counts_) long_counts_ = std::make_unique<std::vector<LongCount>>();
    long_counts_->reserve(long_counts_->size() + 1);
  }
  if (size_ == capacity_) {
    if (capacity_ == std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    grow(grown_capacity(capacity_, size_ + 1));
  }
}

void PostingList::set_count(uint32_t pos, int32_t count) noexcept {
  // Keeps long_counts_ sorted by position: an append adds at the end.
  std::vector<LongCount>* list = long_counts_.get();
  auto it = list ? std::lower_bound(list->begin(), list->end(), pos,
                                    [](const LongCount& e, uint32_t p) { return e.pos < p; })
                 : std::vector<LongCount>::iterator();
  const bool listed = list && it != list->end() && it->pos == pos;
  if (fits_short_count(count)) {
    mutable_short_counts()[pos] = static_cast<uint8_t>(count);
    if (listed) list->erase(it);
    return;
  }
  mutable_short_counts()[pos] = 0;
  if (listed) {
    it->count = count;
  } else {
    list->insert(it, LongCount{pos, count});  // capacity reserved by reserve_one
  }
}

void PostingList::seal_block(uint32_t b) noexcept {
  const uint32_t* d = docs();
  blocks_[b] = BlockBounds{d[b << kBlockShift], d[((b + 1) << kBlockShift) - 1], open_max_count_, open_min_length_};
  open_max_count_ = kNoCount;
  open_min_length_ = kNoLength;
}

void PostingList::append(uint32_t doc, int32_t count, float length) noexcept {
  const uint32_t pos = size_;
  mutable_docs()[pos] = doc;
  set_count(pos, count);
  ++size_;
  open_max_count_ = std::max(open_max_count_, count);
  if (length < open_min_length_) open_min_length_ = length;
  max_count_ = std::max(max_count_, count);
  if (length < min_length_) min_length_ = length;
  if ((size_ & (kBlockSize - 1)) == 0) seal_block((size_ >> kBlockShift) - 1);
}

void PostingList::insert(uint32_t pos, uint32_t doc, int32_t count) noexcept {
  uint32_t* d = mutable_docs();
  uint8_t* c = mutable_short_counts();
  if (size_ > pos) {
    std::memmove(d + pos + 1, d + pos, size_t{size_ - pos} * 4);
    std::memmove(c + pos + 1, c + pos, size_ - pos);
  }
  if (long_counts_) {
    for (LongCount& e : *long_counts_) e.pos += e.pos >= pos;
  }
  ++size_;
  d[pos] = doc;
  set_count(pos, count);
  max_count_ = std::max(max_count_, count);
}

void PostingList::add_to_count(uint32_t pos, int32_t delta) noexcept {
  const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(count(pos)) + static_cast<uint32_t>(delta));
  set_count(pos, sum);
  max_count_ = std::max(max_count_, sum);
}

void PostingList::assign(const uint32_t* docs_in, const int32_t* counts, uint32_t n, const float* lengths) {
  PostingList fresh;
  size_t long_n = 0;
  for (uint32_t i = 0; i < n; ++i) long_n += !fits_short_count(counts[i]);
  if (long_n) {
    fresh.long_counts_ = std::make_unique<std::vector<LongCount>>();
    fresh.long_counts_->reserve(long_n);
  }
  if (n) {
    fresh.grow(n);
    std::memcpy(fresh.mutable_docs(), docs_in, size_t{n} * 4);
  }
  uint8_t* c = fresh.mutable_short_counts();
  for (uint32_t i = 0; i < n; ++i) {
    if (fits_short_count(counts[i])) {
      c[i] = static_cast<uint8_t>(counts[i]);
    } else {
      c[i] = 0;
      fresh.long_counts_->push_back(LongCount{i, counts[i]});
    }
  }
  fresh.size_ = n;
  fresh.rebuild_bounds(lengths);
  // The weights stay with this list; the caller decides what they become.
  std::swap(storage_, fresh.storage_);
  std::swap(blocks_, fresh.blocks_);
  std::swap(long_counts_, fresh.long_counts_);
  capacity_ = fresh.capacity_;
  size_ = n;
  max_count_ = fresh.max_count_;
  min_length_ = fresh.min_length_;
  open_max_count_ = fresh.open_max_count_;
  open_min_length_ = fresh.open_min_length_;
}

void PostingList::rebuild_bounds(const float* lengths) noexcept {
  const uint32_t* d = docs();
  max_count_ = kNoCount;
  min_length_ = kNoLength;
  open_max_count_ = kNoCount;
  open_min_length_ = kNoLength;
  for (uint32_t i = 0; i < size_; ++i) {
    const int32_t c = count(i);
    const float length = lengths[d[i]];
    open_max_count_ = std::max(open_max_count_, c);
    if (length < open_min_length_) open_min_length_ = length;
    max_count_ = std::max(max_count_, c);
    if (length < min_length_) min_length_ = length;
    if (((i + 1) & (kBlockSize - 1)) == 0) seal_block(i >> kBlockShift);
  }
}

void PostingList::shrink_to_fit() {
  if (capacity_ == size_) return;
  BigArray<char> storage(size_t{size_} * 5);
  BigArray<BlockBounds> blocks(size_ >> kBlockShift);
  if (size_) {
    std::memcpy(storage.data(), docs(), size_t{size_} * 4);
    std::memcpy(storage.data() + size_t{size_} * 4, short_counts(), size_);
  }
  if (full_blocks()) std::memcpy(blocks.data(), blocks_.data(), sizeof(BlockBounds) * full_blocks());
  storage_.swap(storage);
  blocks_.swap(blocks);
  capacity_ = size_;
  if (long_counts_) long_counts_->shrink_to_fit();
}

PostingList::WeightRoom PostingList::prepare_weights(uint32_t n) {
  WeightRoom room;
  if (n != frozen_capacity_ || !frozen_.data()) {
    if (n) room.fresh = BigArray<float>(size_t{n} + block_count(n));
  }
  return room;
}

void PostingList::refresh_block_max(uint32_t b) noexcept {
  const float* w = frozen_.data();
  const uint32_t begin = b << kBlockShift;
  const uint32_t end = std::min(weighted_, begin + kBlockSize);
  float m = 0.0f;  // postings without a stored weight count 0.0
  for (uint32_t i = begin; i < end; ++i) m = std::max(m, w[i]);
  frozen_[frozen_capacity_ + b] = m;
}

void PostingList::commit_weights(WeightRoom&& room, uint32_t n) noexcept {
  if (room.fresh.data() || n == 0) {
    frozen_.swap(room.fresh);
    frozen_capacity_ = n;
  }
  weighted_ = n;
  float m = 0.0f;
  for (uint32_t b = 0; b < block_count(n); ++b) {
    refresh_block_max(b);
    m = std::max(m, block_max_weight(b));
  }
  max_weight_ = m;
}

void PostingList::reserve_weight() {
  if (weighted_ < frozen_capacity_) return;
  const uint32_t capacity = grown_capacity(frozen_capacity_, weighted_ + 1);
  BigArray<float> fresh(size_t{capacity} + block_count(capacity));
  if (weighted_) {
    std::memcpy(fresh.data(), frozen_.data(), sizeof(float) * weighted_);
    std::memcpy(fresh.data() + capacity, frozen_.data() + frozen_capacity_, sizeof(float) * block_count(weighted_));
  }
  frozen_.swap(fresh);
  frozen_capacity_ = capacity;
}

void PostingList::put_weight(uint32_t pos, float weight) noexcept {
  float* w = frozen_.data();
  if (weighted_ > pos) std::memmove(w + pos + 1, w + pos, sizeof(float) * (weighted_ - pos));
  w[pos] = weight;
  ++weighted_;
  for (uint32_t b = pos >> kBlockShift; b < block_count(weighted_); ++b) refresh_block_max(b);
  max_weight_ = std::max(max_weight_, weight);
}

size_t PostingList::bytes() const {
  return sizeof(*this) + storage_.capacity() + blocks_.capacity() * sizeof(BlockBounds) +
         frozen_.capacity() * sizeof(float) + (long_counts_ ? long_counts_->capacity() * sizeof(LongCount) : 0);
}

}  // namespace vantoro
