#include "index/string_table.hpp"

#include <cstring>

namespace vantoro {
namespace {

// The top half of the hash both places a string and filters comparisons, so
// growing the table never hashes a string again.
inline uint64_t tag_of(uint64_t h) { return h & 0xffffffff00000000ULL; }
inline uint64_t home_of(uint64_t word, uint64_t mask) { return (word >> 32) & mask; }

}  // namespace

uint32_t StringTable::find(std::string_view s, uint64_t h) const {
  if (slots_.empty()) return kAbsent;
  const uint64_t mask = slots_.size() - 1;
  const uint64_t tag = tag_of(h);
  for (uint64_t i = home_of(h, mask);; i = (i + 1) & mask) {
    uint64_t word = slots_[i];
    if (word == 0) return kAbsent;
    if (tag_of(word) == tag) {
      uint32_t id = static_cast<uint32_t>(word) - 1;
      if (name(id) == s) return id;
    }
  }
}

std::pair<uint32_t, bool> StringTable::intern(std::string_view s, uint64_t h) {
  if ((ends_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t mask = slots_.size() - 1;
  const uint64_t tag = tag_of(h);
  uint64_t i = home_of(h, mask);
  for (;; i = (i + 1) & mask) {
    uint64_t word = slots_[i];
    if (word == 0) break;
    if (tag_of(word) == tag) {
      uint32_t id = static_cast<uint32_t>(word) - 1;
      if (name(id) == s) return {id, false};
    }
  }
  uint32_t id = static_cast<uint32_t>(ends_.size());
  bytes_.insert(bytes_.end(), s.begin(), s.end());
  ends_.push_back(bytes_.size());
  slots_[i] = tag | (uint64_t{id} + 1);
  return {id, true};
}

void StringTable::grow() {
  size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<uint64_t> old = std::move(slots_);
  slots_.assign(capacity, 0);
  const uint64_t mask = capacity - 1;
  for (uint64_t word : old) {
    if (word == 0) continue;
    uint64_t i = home_of(word, mask);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = word;
  }
}

}  // namespace vantoro
