#include "index/posting_list.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/bm25.hpp"
#include "index/weight_bound.hpp"

namespace vantoro {
namespace {

// Growth by half, not doubling: less slack in the largest structure.
uint32_t grown_capacity(uint32_t capacity, uint32_t needed) {
  uint64_t next = capacity < 4 ? 4 : uint64_t{capacity} + capacity / 2;
  if (next < needed) next = needed;
  return static_cast<uint32_t>(std::min<uint64_t>(next, std::numeric_limits<uint32_t>::max()));
}

template <class T>
T* allocate_items(size_t n) {
  return static_cast<T*>(big_allocate(n * sizeof(T)));
}

}  // namespace

PostingList::~PostingList() {
  big_free(storage_, storage_bytes(capacity_));
  big_free(blocks_, sizeof(BlockBounds) * (capacity_ >> kBlockShift));
  if (frozen_owned_) big_free(frozen_, sizeof(float) * frozen_floats(frozen_capacity_));
}

void PostingList::swap(PostingList& other) noexcept {
  std::swap(storage_, other.storage_);
  std::swap(blocks_, other.blocks_);
  std::swap(frozen_, other.frozen_);
  std::swap(long_counts_, other.long_counts_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  std::swap(weighted_, other.weighted_);
  std::swap(frozen_capacity_, other.frozen_capacity_);
  std::swap(max_weight_, other.max_weight_);
  std::swap(frozen_owned_, other.frozen_owned_);
}

int32_t PostingList::long_count(uint32_t pos) const {
  const std::vector<LongCount>& list = *long_counts_;
  auto it = std::lower_bound(list.begin(), list.end(), pos, [](const LongCount& e, uint32_t p) { return e.pos < p; });
  return it->count;
}

uint32_t PostingList::seek(uint32_t from, uint32_t doc) const {
  // Whole blocks first, by their last document, then within the block.
  return seek_in_block(block_reaching(from >> kBlockShift, doc), from, doc);
}

uint32_t PostingList::seek_past_block(uint32_t from, uint32_t doc) const {
  return static_cast<uint32_t>(std::lower_bound(docs() + from, docs() + size_, doc) - docs());
}

// Moves the postings to storage of `capacity` (at least size_); the block
// bounds move with them. On failure nothing changes.
void PostingList::resize_storage(uint32_t capacity) {
  BlockBounds* blocks = allocate_items<BlockBounds>(capacity >> kBlockShift);
  char* storage;
  try {
    if (capacity >= capacity_) {
      // A large block grows by remapping: the documents stay in place and
      // the counts move up to their new offset.
      storage = static_cast<char*>(big_reallocate(storage_, storage_bytes(capacity_), storage_bytes(capacity)));
      if (size_) std::memmove(storage + size_t{capacity} * 4, storage + size_t{capacity_} * 4, size_);
    } else if (storage_bytes(capacity) >= kMappedBlock) {
      // Shrinking a large block: the counts move down first, then the block
      // is remapped in place; if that fails they move back.
      if (size_) std::memmove(storage_ + size_t{capacity} * 4, storage_ + size_t{capacity_} * 4, size_);
      try {
        storage = static_cast<char*>(big_reallocate(storage_, storage_bytes(capacity_), storage_bytes(capacity)));
      } catch (...) {
        if (size_) std::memmove(storage_ + size_t{capacity_} * 4, storage_ + size_t{capacity} * 4, size_);
        throw;
      }
    } else {
      storage = static_cast<char*>(big_allocate(storage_bytes(capacity)));
      if (size_) {
        std::memcpy(storage, storage_, size_t{size_} * 4);
        std::memcpy(storage + size_t{capacity} * 4, short_counts(), size_);
      }
      big_free(storage_, storage_bytes(capacity_));
    }
  } catch (...) {
    big_free(blocks, sizeof(BlockBounds) * (capacity >> kBlockShift));
    throw;
  }
  if (full_blocks()) std::memcpy(blocks, blocks_, sizeof(BlockBounds) * full_blocks());
  big_free(blocks_, sizeof(BlockBounds) * (capacity_ >> kBlockShift));
  storage_ = storage;
  blocks_ = blocks;
  capacity_ = capacity;
}

void PostingList::reserve_one_slow(int32_t count) {
  if (!fits_short_count(count)) {
    if (!long_counts_) long_counts_ = std::make_unique<std::vector<LongCount>>();
    long_counts_->reserve(long_counts_->size() + 1);
  }
  if (size_ == capacity_) {
    if (capacity_ == std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    resize_storage(grown_capacity(capacity_, size_ + 1));
  }
}

void PostingList::set_count_slow(uint32_t pos, int32_t count) noexcept {
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
    list->insert(it, LongCount{pos, count});  // room reserved by reserve_one
  }
}

void PostingList::seal_block(uint32_t b, const float* lengths, float average) noexcept {
  const uint32_t begin = b << kBlockShift;
  const uint32_t* d = docs();
  float m = 0.0f;
  if (average > 0.0f && std::isfinite(average)) {
    for (uint32_t i = begin; i < begin + kBlockSize; ++i) m = std::max(m, saturation(kK1, kB, count(i), lengths[d[i]], average));
  } else {
    m = std::numeric_limits<float>::infinity();  // no bound can be given
  }
  blocks_[b] = BlockBounds{d[begin], d[begin + kBlockSize - 1], m, average};
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
}

void PostingList::add_to_count(uint32_t pos, int32_t delta) noexcept {
  set_count(pos, static_cast<int32_t>(static_cast<uint32_t>(count(pos)) + static_cast<uint32_t>(delta)));
}

void PostingList::assign(const uint32_t* docs_in, const int32_t* counts, uint32_t n, const float* lengths,
                         float average) {
  PostingList fresh;
  size_t long_n = 0;
  for (uint32_t i = 0; i < n; ++i) long_n += !fits_short_count(counts[i]);
  if (long_n) {
    fresh.long_counts_ = std::make_unique<std::vector<LongCount>>();
    fresh.long_counts_->reserve(long_n);
  }
  if (n) {
    fresh.resize_storage(n);
    std::memcpy(fresh.mutable_docs(), docs_in, size_t{n} * 4);
  }
  uint8_t* c = fresh.mutable_short_counts();
  if (long_n == 0) {
    // The common case, a loop without a branch that the compiler vectorizes.
    for (uint32_t i = 0; i < n; ++i) c[i] = static_cast<uint8_t>(counts[i]);
  } else {
    for (uint32_t i = 0; i < n; ++i) {
      if (fits_short_count(counts[i])) {
        c[i] = static_cast<uint8_t>(counts[i]);
      } else {
        c[i] = 0;
        fresh.long_counts_->push_back(LongCount{i, counts[i]});
      }
    }
  }
  fresh.size_ = n;
  fresh.rebuild_bounds(lengths, average);
  take_postings(fresh);
}

void PostingList::adopt(char* storage, uint32_t n, uint32_t capacity, std::vector<LongCount>&& long_counts,
                        const float* lengths, float average) {
  PostingList fresh;
  fresh.storage_ = storage;
  fresh.capacity_ = capacity;
  if (capacity != n) {
    // Exactly the room assign() gives: the counts move down to their offset
    // for n, then the block shrinks (a large one in place).
    std::memmove(storage + size_t{n} * 4, storage + size_t{capacity} * 4, n);
    fresh.storage_ = static_cast<char*>(big_reallocate(storage, storage_bytes(capacity), storage_bytes(n)));
    fresh.capacity_ = n;
  }
  fresh.blocks_ = allocate_items<BlockBounds>(n >> kBlockShift);
  if (!long_counts.empty()) fresh.long_counts_ = std::make_unique<std::vector<LongCount>>(std::move(long_counts));
  fresh.size_ = n;
  fresh.rebuild_bounds(lengths, average);
  take_postings(fresh);
}

void PostingList::take_postings(PostingList& fresh) noexcept {
  // The weights stay with this list; the caller decides what they become.
  std::swap(frozen_, fresh.frozen_);
  std::swap(weighted_, fresh.weighted_);
  std::swap(frozen_capacity_, fresh.frozen_capacity_);
  std::swap(max_weight_, fresh.max_weight_);
  std::swap(frozen_owned_, fresh.frozen_owned_);
  swap(fresh);
}

void PostingList::rebuild_bounds(const float* lengths, float average) noexcept {
  for (uint32_t b = 0; b < full_blocks(); ++b) seal_block(b, lengths, average);
}

void PostingList::rebuild_bounds_from_bases(const float* bases, float average) noexcept {
  const uint32_t* d = docs();
  const uint32_t n = full_blocks() << kBlockShift;
  // The bases of a sparse list's documents are far apart: their reads are
  // asked for this many postings ahead.
  constexpr uint32_t kAhead = 32;
  // A block's largest saturation is the largest of its postings' quotients
  // tf / q, each rounded as seal_block() rounds it.
  for (uint32_t b = 0; b < full_blocks(); ++b) {
    const uint32_t begin = b << kBlockShift;
#if defined(__SSE2__)
    if (!long_counts_) {
      // Four postings at a time, their counts from four bytes.
      const uint8_t* c = short_counts();
      const __m128i zero = _mm_setzero_si128();
      __m128 most = _mm_setzero_ps();
      for (uint32_t i = begin; i < begin + kBlockSize; i += 4) {
        if (i + kAhead + 3 < n) {
          for (uint32_t k = 0; k < 4; ++k) __builtin_prefetch(bases + d[i + kAhead + k]);
        }
        uint32_t four;
        std::memcpy(&four, c + i, 4);
        const __m128i counts = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(four)), zero), zero);
        const __m128 tf = _mm_cvtepi32_ps(counts);
        const __m128 base = _mm_setr_ps(bases[d[i]], bases[d[i + 1]], bases[d[i + 2]], bases[d[i + 3]]);
        most = _mm_max_ps(most, _mm_div_ps(tf, _mm_add_ps(base, tf)));
      }
      most = _mm_max_ps(most, _mm_shuffle_ps(most, most, _MM_SHUFFLE(1, 0, 3, 2)));
      most = _mm_max_ps(most, _mm_shuffle_ps(most, most, _MM_SHUFFLE(2, 3, 0, 1)));
      blocks_[b] = BlockBounds{d[begin], d[begin + kBlockSize - 1], _mm_cvtss_f32(most), average};
      continue;
    }
#endif
    float most = 0.0f;
    for (uint32_t i = begin; i < begin + kBlockSize; ++i) {
      if (i + kAhead < n) __builtin_prefetch(bases + d[i + kAhead]);
      const float tf = static_cast<float>(count(i));
      most = std::max(most, tf / (bases[d[i]] + tf));
    }
    blocks_[b] = BlockBounds{d[begin], d[begin + kBlockSize - 1], most, average};
  }
}

void PostingList::shrink_to_fit() {
  // A list that lost less than an eighth of its room to growth keeps it: not
  // worth the copy.
  if (uint64_t{capacity_ - size_} * 8 > capacity_) resize_storage(size_);
  if (long_counts_) long_counts_->shrink_to_fit();
}

PostingList::WeightRoom PostingList::prepare_weights(uint32_t n) {
  WeightRoom room;
  if ((n != frozen_capacity_ || !frozen_ || !frozen_owned_) && n) room.fresh = BigArray<float>(frozen_floats(n));
  return room;
}

void PostingList::refresh_block_max(uint32_t b) noexcept {
  const uint32_t begin = b << kBlockShift;
  const uint32_t end = std::min(weighted_, begin + kBlockSize);
  float m = 0.0f;  // postings without a stored weight count 0.0
  for (uint32_t i = begin; i < end; ++i) m = std::max(m, frozen_[i]);
  frozen_[frozen_capacity_ + b] = m;
}

void PostingList::commit_weights(WeightRoom&& room, uint32_t n, bool maxima_written) noexcept {
  if (room.fresh.data() || n == 0) {
    // Hand the old storage to the room, which frees it.
    BigArray<float> old = frozen_owned_ ? BigArray<float>::adopt(frozen_, frozen_floats(frozen_capacity_)) : BigArray<float>();
    frozen_ = room.fresh.release();
    frozen_capacity_ = n;
    frozen_owned_ = true;
  }
  weighted_ = n;
  if (!maxima_written) {
    for (uint32_t b = 0; b < block_count(n); ++b) refresh_block_max(b);
  }
  max_weight_ = 0.0f;
  for (uint32_t b = 0; b < block_count(n); ++b) max_weight_ = std::max(max_weight_, block_max_weight(b));
}

void PostingList::share_weights(float* weights, uint32_t n) noexcept {
  if (frozen_owned_) big_free(frozen_, sizeof(float) * frozen_floats(frozen_capacity_));
  frozen_ = n ? weights : nullptr;
  frozen_capacity_ = n;
  frozen_owned_ = n == 0;
  weighted_ = n;
  max_weight_ = 0.0f;
  for (uint32_t b = 0; b < block_count(n); ++b) max_weight_ = std::max(max_weight_, block_max_weight(b));
}

void PostingList::reserve_weight() {
  if (weighted_ < frozen_capacity_ && frozen_owned_) return;
  const uint32_t capacity = grown_capacity(frozen_capacity_, weighted_ + 1);
  float* fresh = allocate_items<float>(frozen_floats(capacity));
  if (weighted_) {
    std::memcpy(fresh, frozen_, sizeof(float) * weighted_);
    std::memcpy(fresh + capacity, frozen_ + frozen_capacity_, sizeof(float) * block_count(weighted_));
  }
  if (frozen_owned_) big_free(frozen_, sizeof(float) * frozen_floats(frozen_capacity_));
  frozen_ = fresh;
  frozen_capacity_ = capacity;
  frozen_owned_ = true;
}

void PostingList::put_weight(uint32_t pos, float weight) noexcept {
  float* w = frozen_;
  if (weighted_ > pos) std::memmove(w + pos + 1, w + pos, sizeof(float) * (weighted_ - pos));
  w[pos] = weight;
  ++weighted_;
  for (uint32_t b = pos >> kBlockShift; b < block_count(weighted_); ++b) refresh_block_max(b);
  max_weight_ = std::max(max_weight_, weight);
}

size_t PostingList::bytes() const {
  return storage_bytes(capacity_) + sizeof(BlockBounds) * (capacity_ >> kBlockShift) +
         (frozen_owned_ ? sizeof(float) * frozen_floats(frozen_capacity_) : 0) +
         (long_counts_ ? long_counts_->capacity() * sizeof(LongCount) : 0);
}

}  // namespace vantoro
