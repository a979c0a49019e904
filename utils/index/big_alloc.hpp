// Raw storage for the index's arrays. Small blocks come from malloc; large
// ones are mapped directly, so that freeing them returns the memory to the
// system at once (no heap fragments left behind after a list grows), and are
// advised for transparent huge pages, which cut the page-table misses of
// random reads across hundreds of megabytes of postings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vantoro {

// Blocks from this size on are mapped on their own, so that resizing them
// moves pages instead of copying bytes.
inline constexpr size_t kMappedBlock = size_t{1} << 16;

// Allocates `bytes` (0 gives nullptr); throws std::bad_alloc when refused.
// `huge_pages`: advise a large block for transparent huge pages (fewer
// page-table misses for random reads; but a first touch of a huge page can
// stall, so storage written once in bulk goes without).
void* big_allocate(size_t bytes, bool huge_pages = true);
// big_allocate of a block whose bytes are all zero: a large block is
// mapped zeroed already, so no page is written or faulted in beforehand.
void* big_allocate_zeroed(size_t bytes, bool huge_pages = true);
// Faults in the pages of a block from big_allocate, writable, ahead of use.
// Storage that is read before it is written (a hash table's buckets) would
// otherwise first map the shared zero page and then, at the first write,
// fault again and flush that mapping from every processor that runs this
// process: on a virtual machine, an interrupt to each, per page.
void big_prefault(void* block, size_t bytes) noexcept;
// Frees a block from big_allocate; `bytes` must be the size it was given.
void big_free(void* block, size_t bytes) noexcept;
// Resizes a block from big_allocate, keeping its first min(old, new) bytes:
// a large block is remapped, not copied. Throws std::bad_alloc when refused,
// leaving the block as it was.
void* big_reallocate(void* block, size_t old_bytes, size_t new_bytes);

// An owned, uninitialised array of trivially copyable items.
template <class T>
class BigArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  BigArray() = default;
  explicit BigArray(size_t capacity, bool huge_pages = true)
      : data_(static_cast<T*>(big_allocate(capacity * sizeof(T), huge_pages))), capacity_(capacity) {}
  BigArray(const BigArray&) = delete;
  BigArray& operator=(const BigArray&) = delete;
  BigArray(BigArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
  BigArray& operator=(BigArray&& other) noexcept {
    swap(other);
    return *this;
  }
  ~BigArray() { big_free(data_, capacity_ * sizeof(T)); }

  // An array of `capacity` items whose bytes are all zero.
  static BigArray zeroed(size_t capacity, bool huge_pages = true) {
    return adopt(static_cast<T*>(big_allocate_zeroed(capacity * sizeof(T), huge_pages)), capacity);
  }
  // Takes ownership of storage from big_allocate of `capacity` items.
  static BigArray adopt(T* data, size_t capacity) {
    BigArray a;
    a.data_ = data;
    a.capacity_ = capacity;
    return a;
  }
  // Gives up ownership of the storage.
  T* release() noexcept {
    capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

  void swap(BigArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
  }

  T* data() const { return data_; }
  size_t capacity() const { return capacity_; }
  T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace vantoro

namespace vantoro {

// A growable array on big_allocate storage (huge pages when large).
template <class T>
class BigVector {
 public:
  size_t size() const { return size_; }
  T* data() const { return items_.data(); }
  T& operator[](size_t i) const { return items_[i]; }
  T& back() const { return items_[size_ - 1]; }

  // Room for `extra` more items; may throw, changes nothing then.
  void reserve_more(size_t extra) {
    if (items_.capacity() - size_ >= extra) return;
    size_t capacity = items_.capacity() < 16 ? 16 : items_.capacity() + items_.capacity() / 2;
    if (capacity < size_ + extra) capacity = size_ + extra;
    BigArray<T> grown(capacity);
    if (size_) std::memcpy(static_cast<void*>(grown.data()), items_.data(), sizeof(T) * size_);
    items_.swap(grown);
  }
  // Appends into room made by reserve_more.
  void push_back_reserved(const T& item) noexcept { items_[size_++] = item; }
  void push_back(const T& item) {
    reserve_more(1);
    push_back_reserved(item);
  }
  void assign(size_t n, const T& item) {
    BigArray<T> fresh(n);
    for (size_t i = 0; i < n; ++i) fresh[i] = item;
    items_.swap(fresh);
    size_ = n;
  }
  size_t bytes() const { return items_.capacity() * sizeof(T); }

 private:
  BigArray<T> items_;
  size_t size_ = 0;
};

}  // namespace vantoro
