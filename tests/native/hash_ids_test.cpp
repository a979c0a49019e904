#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "index/hash_ids.hpp"

using namespace vantoro;

TEST(hash_ids_keep_adding_order_through_growth) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> hashes(100000);
  for (uint64_t& h : hashes) h = rng();
  HashIds ids;
  for (uint32_t i = 0; i < hashes.size(); ++i) {
    bool added = false;
    CHECK_EQ(ids.find_or_add(hashes[i], added), i);
    CHECK(added);
  }
  CHECK_EQ(ids.size(), 100000u);
  for (uint32_t i = 0; i < hashes.size(); ++i) {
    bool added = true;
    CHECK_EQ(ids.find_or_add(hashes[i], added), i);
    CHECK(!added);
    CHECK_EQ(ids.hash(i), hashes[i]);
  }
  int found_absent = 0;
  for (int i = 0; i < 100000; ++i) found_absent += ids.find(rng()) != HashIds::kNone;
  CHECK_EQ(found_absent, 0);
}

// Hashes that share a home bucket fill it and pass on to the next ones,
// across the end of the table; a tag of 0 is an empty slot's tag too.
TEST(hash_ids_find_crowded_buckets_and_zero_tags) {
  for (const size_t reserved : {size_t{0}, size_t{5000}}) {
    HashIds ids;
    ids.reserve(reserved);
    std::vector<uint64_t> hashes;
    // Low bits all ones: the last bucket is home to every one of them.
    for (uint64_t k = 0; k < 60; ++k) hashes.push_back((k + 1) << 32 | 0xffffffffu);
    hashes.push_back(0xffffffffu);  // tag 0, after a full chain
    for (uint32_t i = 0; i < hashes.size(); ++i) {
      bool added = false;
      CHECK_EQ(ids.find_or_add(hashes[i], added), i);
      CHECK(added);
    }
    for (uint32_t i = 0; i < hashes.size(); ++i) CHECK_EQ(ids.find(hashes[i]), i);
    CHECK_EQ(ids.find(uint64_t{100} << 32 | 0xffffffffu), HashIds::kNone);
    // Tag 0 at homes away from that chain, whose slots are partly empty:
    // absent until added.
    CHECK_EQ(ids.find(0x12345), HashIds::kNone);
    CHECK_EQ(ids.find(0x40), HashIds::kNone);
    bool added = false;
    CHECK_EQ(ids.find_or_add(0x40, added), hashes.size());
    CHECK(added);
    CHECK_EQ(ids.find(0x40), hashes.size());
    CHECK_EQ(ids.find(0x12345), HashIds::kNone);
  }
}

// Faulting a block in ahead keeps its bytes (a zeroed block all zero, a
// written one as written) and leaves it writable to its last byte, for a
// mapped block with a partial last page and for one small enough to come
// from malloc.
TEST(prefaulted_blocks_keep_their_bytes) {
  for (const size_t bytes : {size_t{3} << 20 | 100, size_t{1000}}) {
    BigArray<unsigned char> zeroed = BigArray<unsigned char>::zeroed(bytes);
    big_prefault(zeroed.data(), bytes);
    BigArray<unsigned char> written(bytes);
    for (size_t i = 0; i < bytes; ++i) written[i] = static_cast<unsigned char>(i * 7 + 1);
    big_prefault(written.data(), bytes);
    size_t changed = 0;
    for (size_t i = 0; i < bytes; ++i) {
      changed += zeroed[i] != 0;
      changed += written[i] != static_cast<unsigned char>(i * 7 + 1);
    }
    CHECK_EQ(changed, size_t{0});
    zeroed[bytes - 1] = 7;
    CHECK_EQ(zeroed[bytes - 1], 7);
  }
}
