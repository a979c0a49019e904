#include "index/hash_ids.hpp"

namespace vantoro {

// Half of the slots at most are taken: most hashes then lie in their home
// bucket.
void HashIds::reserve(size_t n) {
  size_t buckets = buckets_.capacity();
  while (n * 2 > buckets * kSlots) buckets *= 2;
  if (buckets != buckets_.capacity()) rehash(buckets);
  hashes_.reserve(n);
}

void HashIds::place(uint64_t h, uint32_t id) {
  size_t b = h & mask_;
  while (buckets_[b].ids[kSlots - 1] != 0) b = (b + 1) & mask_;
  Bucket& bucket = buckets_[b];
  size_t k = 0;
  while (bucket.ids[k] != 0) ++k;
  bucket.tags[k] = static_cast<uint32_t>(h >> 32);
  bucket.ids[k] = id + 1;
}

void HashIds::rehash(size_t buckets) {
  BigArray<Bucket> fresh = BigArray<Bucket>::zeroed(buckets);
  // Look-ups read buckets before additions write them.
  big_prefault(fresh.data(), buckets * sizeof(Bucket));
  buckets_.swap(fresh);
  mask_ = buckets - 1;
  // In id order, so that each bucket's slots keep the order of adding.
  for (uint32_t id = 0; id < hashes_.size(); ++id) place(hashes_[id], id);
}

uint32_t HashIds::add(uint64_t h) {
  const uint32_t id = size();
  hashes_.push_back(h);
  place(h, id);
  if (hashes_.size() * 2 > buckets_.capacity() * kSlots) rehash(buckets_.capacity() * 2);
  return id;
}

}  // namespace vantoro
