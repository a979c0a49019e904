// Interns strings into dense 32-bit ids. Lookup is an open-addressing table
// of (hash tag, id) words; the bytes live in one contiguous arena.
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

  uint64_t hash(std::string_view s) const { return keyed_hash(key_, s); }

  uint32_t find(std::string_view s) const { return find(s, hash(s)); }
  uint32_t find(std::string_view s, uint64_t h) const;

  // Returns the id of `s` and whether it was added by this call.
  std::pair<uint32_t, bool> intern(std::string_view s) { return intern(s, hash(s)); }
  std::pair<uint32_t, bool> intern(std::string_view s, uint64_t h);

  uint64_t byte_size() const { return bytes_.size(); }

 private:
  void grow();

  HashKey key_;
  std::vector<char> bytes_;
  std::vector<uint64_t> ends_;   // ends_[i]: one past the last byte of string i
  std::vector<uint64_t> slots_;  // 0: empty; else (hash >> 32) << 32 | (id + 1)
};

}  // namespace vantoro
