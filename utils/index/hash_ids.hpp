// Dense ids by 64-bit hash alone, in the order the hashes were added.
//
// The table is made of buckets of eight slots, one cache line each: the
// slots' tags (the high half of the hash) side by side, then their ids. A
// hash's home bucket comes from its low bits; a full bucket passes on to
// the next. A look-up reads one line and compares the eight tags at once,
// so that where in its bucket a hash lies costs no mispredicted jump, as a
// probe sequence of single slots does.
//
// Names are never compared: whoever uses the table must catch a name taken
// for another whose hash has the same home and high half.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/big_alloc.hpp"

namespace vantoro {

class HashIds {
 public:
  static constexpr uint32_t kNone = 0xffffffffu;

  HashIds() { rehash(kMinBuckets); }
  uint32_t size() const { return static_cast<uint32_t>(hashes_.size()); }
  uint64_t hash(uint32_t id) const { return hashes_[id]; }
  // Makes room for `n` hashes in all.
  void reserve(size_t n);
  void prefetch(uint64_t h) const { __builtin_prefetch(&buckets_[h & mask_]); }

  uint32_t find(uint64_t h) const {
    const uint32_t tag = static_cast<uint32_t>(h >> 32);
    for (size_t b = h & mask_;; b = (b + 1) & mask_) {
      const Bucket& bucket = buckets_[b];
      // Slots fill in order and an empty one has tag 0 and id 0: the first
      // match is either the hash's slot or, for a tag of 0, the bucket's
      // first empty slot, whose id 0 gives kNone.
      const unsigned match = bucket.matches(tag);
      if (match != 0) return bucket.ids[std::countr_zero(match)] - 1;
      // A bucket with room ends the search: the hash would have been put
      // there.
      if (bucket.ids[kSlots - 1] == 0) return kNone;
    }
  }
  // The id of `h`, found or added as the next one (`added` tells which).
  uint32_t find_or_add(uint64_t h, bool& added) {
    const uint32_t id = find(h);
    added = id == kNone;
    return added ? add(h) : id;
  }

 private:
  static constexpr size_t kSlots = 8;
  static constexpr size_t kMinBuckets = 128;
  struct Bucket {
    uint32_t tags[kSlots];
    uint32_t ids[kSlots];  // id + 1; 0 in an empty slot

    // Bit k set where slot k's tag is `tag`.
    unsigned matches(uint32_t tag) const {
#if defined(__SSE2__)
      const __m128i key = _mm_set1_epi32(static_cast<int>(tag));
      const __m128i low = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tags)), key);
      const __m128i high = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tags + 4)), key);
      return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(low)) |
                                   _mm_movemask_ps(_mm_castsi128_ps(high)) << 4);
#else
      unsigned match = 0;
      for (size_t k = 0; k < kSlots; ++k) match |= unsigned{tags[k] == tag} << k;
      return match;
#endif
    }
  };

  // Adds `h`, which is not in the table; returns its id. Out of line: a
  // found hash, the common case, then costs no call.
  [[gnu::noinline]] uint32_t add(uint64_t h);
  // Puts id's hash in the first slot with room from its home bucket on.
  void place(uint64_t h, uint32_t id);
  void rehash(size_t buckets);

  BigArray<Bucket> buckets_;
  size_t mask_ = 0;
  std::vector<uint64_t> hashes_;  // by id
};

}  // namespace vantoro
