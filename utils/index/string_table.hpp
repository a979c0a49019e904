// Interns strings into dense 32-bit ids. Lookup is an open-addressing table
// of 16-byte slots holding the string's head inline, so that a short string
// (up to 7 bytes) is found or refused without touching the byte arena.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "index/hash.hpp"

namespace vantoro {

class StringTable {
 public:
  static constexpr uint32_t kAbsent = 0xffffffffu;

  StringTable() : key_(fresh_hash_key()) {}

  uint32_t size() const { return static_cast<uint32_t>(ends_.size()); }

  std::string_view name(uint32_t id) const {
    uint64_t begin = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(bytes_.data() + begin, ends_[id] - begin);
  }

  uint64_t hash(std::string_view s) const { return strong_ ? keyed_hash(key_, s) : fast_hash(key_, s); }
  // Whether the table has switched to its collision-resistant hash. A hash
  // computed before a switch is stale: recompute it.
  bool strong() const { return strong_; }
  // Switches to the collision-resistant hash with a fresh key and re-places
  // every string (done by intern when a probe sequence grows too long).
  void switch_to_strong_hash();

  uint32_t find(std::string_view s) const { return find(s, hash(s)); }
  uint32_t find(std::string_view s, uint64_t h) const;

  // Makes room for `names` more names of `bytes` bytes in all, so that
  // interning them allocates nothing (unless the table switches to its
  // strong hash, which rebuilds it).
  void reserve(size_t names, size_t bytes);

  // Returns the id of `s` and whether it was added by this call. Running out
  // of memory throws std::bad_alloc and leaves the table as it was.
  std::pair<uint32_t, bool> intern(std::string_view s) { return intern(s, hash(s)); }
  std::pair<uint32_t, bool> intern(std::string_view s, uint64_t h);

  // Forgets every name with an id of `size` or more (the newest ones), as
  // if they had never been interned. Allocates nothing: cannot fail.
  void truncate(uint32_t size) noexcept;

  // Hints the processor to fetch the slot where a lookup of `h` starts.
  // Branch-free on purpose: gcc 12 drops a prefetch guarded by a condition.
  // On an empty table the address is meaningless, which a prefetch allows.
  void prefetch(uint64_t h) const {
    const uintptr_t base = reinterpret_cast<uintptr_t>(slots_.data());
    __builtin_prefetch(reinterpret_cast<const void*>(base + ((h >> 32) & (slots_.size() - 1)) * sizeof(Slot)));
  }

 private:
  struct Slot {
    uint64_t head;  // up to 7 leading bytes and the length, or 7 bytes and a long-string mark
    uint32_t tag;   // top half of the hash: places the slot and filters comparisons
    uint32_t id1;   // id + 1; 0 marks an empty slot
  };

  void grow();
  // Empties slot i, moving later slots of its probe run back into the gap.
  void erase_slot(uint64_t i) noexcept;
  void rebuild(size_t capacity);
  bool matches(const Slot& slot, uint64_t head, std::string_view s) const;

  HashKey key_;
  bool strong_ = false;
  std::vector<char> bytes_;
  std::vector<uint64_t> ends_;  // ends_[i]: one past the last byte of string i
  std::vector<Slot> slots_;
};

}  // namespace vantoro
