// A growable byte buffer for file texts or pieces of them. Unlike
// std::string it does not zero-fill what it grows into, and growth of a
// large block can move pages instead of copying them (realloc).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace vantoro::persist {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t capacity) { reserve(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return std::string_view(data_ ? data_ : "", size_); }
  std::string str() const { return std::string(view()); }

  // Makes room for at least `extra` more bytes after the current end.
  void ensure(size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }
  void reserve(size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }
  // The first unused byte; write up to the room made by ensure(), then commit.
  char* end() { return data_ + size_; }
  void commit(size_t written) { size_ += written; }
  void set_end(char* end) { size_ = static_cast<size_t>(end - data_); }

  // Empties the buffer, keeping its room.
  void clear() { size_ = 0; }
  void release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void grow(size_t extra) {
    size_t wanted = size_ + extra;
    size_t doubled = capacity_ < 4096 ? 4096 : capacity_ * 2;
    reallocate(wanted > doubled ? wanted : doubled);
  }
  void reallocate(size_t capacity) {
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vantoro::persist
