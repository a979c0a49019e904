#include "index/string_table.hpp"

#include <algorithm>
#include <cstring>

namespace vantoro {
namespace {

constexpr uint64_t kLongMark = uint64_t{0x80} << 56;
// A probe sequence this long means crafted collisions (or very bad luck).
constexpr uint64_t kMaxProbe = 96;

using detail::load32;
using detail::load64;

// The inline form of a string: its bytes and length when it has at most 7
// bytes (the top byte holds the length), else its first 7 bytes and a mark.
inline uint64_t head_of(std::string_view s) {
  const char* p = s.data();
  const size_t n = s.size();
  if (n >= 8) return (load64(p) & 0x00ffffffffffffffULL) | kLongMark;
  uint64_t x = 0;
  if (n >= 4) {
    // Two overlapping 4-byte loads cover 4 to 7 bytes.
    x = load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
  } else if (n > 0) {
    x = uint64_t{static_cast<unsigned char>(p[0])} | (uint64_t{static_cast<unsigned char>(p[n / 2])} << (8 * (n / 2))) |
        (uint64_t{static_cast<unsigned char>(p[n - 1])} << (8 * (n - 1)));
  }
  return x | (uint64_t{n} << 56);
}

inline uint32_t tag_of(uint64_t h) { return static_cast<uint32_t>(h >> 32); }

}  // namespace

bool StringTable::matches(const Slot& slot, uint64_t head, std::string_view s) const {
  if (slot.head != head) return false;
  if (!(head & kLongMark)) return true;
  return name(slot.id1 - 1) == s;
}

uint32_t StringTable::find(std::string_view s, uint64_t h) const {
  if (slots_.empty()) return kAbsent;
  const uint64_t mask = slots_.size() - 1;
  const uint32_t tag = tag_of(h);
  const uint64_t head = head_of(s);
  for (uint64_t i = tag & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id1 == 0) return kAbsent;
    if (slot.tag == tag && matches(slot, head, s)) return slot.id1 - 1;
  }
}

std::pair<uint32_t, bool> StringTable::intern(std::string_view s, uint64_t h) {
  // Every allocation comes before the first change, so that running out of
  // memory leaves the table as it was.
  if ((ends_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t mask = slots_.size() - 1;
  const uint32_t tag = tag_of(h);
  const uint64_t head = head_of(s);
  uint64_t i = tag & mask;
  for (uint64_t probes = 0;; i = (i + 1) & mask, ++probes) {
    const Slot& slot = slots_[i];
    if (slot.id1 == 0) break;
    if (slot.tag == tag && matches(slot, head, s)) return {slot.id1 - 1, false};
    if (probes == kMaxProbe && !strong_) {
      switch_to_strong_hash();
      return intern(s, hash(s));
    }
  }
  if (ends_.size() == ends_.capacity()) ends_.reserve(ends_.size() < 16 ? 16 : ends_.size() * 2);
  const uint32_t id = static_cast<uint32_t>(ends_.size());
  bytes_.insert(bytes_.end(), s.begin(), s.end());
  ends_.push_back(bytes_.size());
  slots_[i] = Slot{head, tag, id + 1};
  return {id, true};
}

void StringTable::erase_slot(uint64_t i) noexcept {
  const uint64_t mask = slots_.size() - 1;
  for (uint64_t j = (i + 1) & mask; slots_[j].id1 != 0; j = (j + 1) & mask) {
    // The slot at j may fill the gap at i unless its probe starts in (i, j].
    const uint64_t home = slots_[j].tag & mask;
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    i = j;
  }
  slots_[i] = Slot{0, 0, 0};
}

void StringTable::truncate(uint32_t size) noexcept {
  for (uint32_t id = this->size(); id-- > size;) {
    const uint64_t mask = slots_.size() - 1;
    uint64_t i = tag_of(hash(name(id))) & mask;
    while (slots_[i].id1 != id + 1) i = (i + 1) & mask;
    erase_slot(i);
    ends_.pop_back();
  }
  bytes_.resize(ends_.empty() ? 0 : ends_.back());
}

void StringTable::grow() { rebuild(slots_.empty() ? 16 : slots_.size() * 2); }

void StringTable::switch_to_strong_hash() {
  const HashKey key = fresh_hash_key();
  std::vector<Slot> slots(slots_.size(), Slot{0, 0, 0});
  const uint64_t mask = slots.size() - 1;
  for (uint32_t id = 0; id < size(); ++id) {
    const std::string_view s = name(id);
    const uint32_t tag = tag_of(keyed_hash(key, s));
    uint64_t i = tag & mask;
    while (slots[i].id1 != 0) i = (i + 1) & mask;
    slots[i] = Slot{head_of(s), tag, id + 1};
  }
  slots_.swap(slots);
  key_ = key;
  strong_ = true;
}

void StringTable::rebuild(size_t capacity) {
  std::vector<Slot> slots(capacity, Slot{0, 0, 0});
  const uint64_t mask = capacity - 1;
  for (const Slot& slot : slots_) {
    if (slot.id1 == 0) continue;
    uint64_t i = slot.tag & mask;
    while (slots[i].id1 != 0) i = (i + 1) & mask;
    slots[i] = slot;
  }
  slots_.swap(slots);
}

void StringTable::reserve(size_t names, size_t bytes) {
  size_t slots = slots_.empty() ? 16 : slots_.size();
  while ((ends_.size() + names) * 2 > slots) slots *= 2;
  if (slots != slots_.size()) rebuild(slots);
  if (ends_.capacity() < ends_.size() + names) ends_.reserve(std::max(ends_.size() + names, ends_.size() * 2));
  if (bytes_.capacity() < bytes_.size() + bytes) bytes_.reserve(std::max(bytes_.size() + bytes, bytes_.size() * 2));
}

}  // namespace vantoro
