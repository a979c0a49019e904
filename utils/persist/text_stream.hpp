// Texts moved in pieces: a loaded file is read and decoded a piece at a
// time, and a saved file is written while it is encoded, so that neither is
// ever held whole in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vantoro::persist {

// A text to read, in pieces, in order.
class TextChunks {
 public:
  virtual ~TextChunks() = default;
  // Sets `piece` to the next piece of the text (never empty) and returns
  // true, or returns false at the end. The piece stays valid until the next
  // call. Reading failures throw IoFailure.
  virtual bool next(std::string_view& piece) = 0;
  // The whole text's size in bytes where known ahead, else 0.
  virtual uint64_t total_size() const { return 0; }
};

// A text in memory, handed out in pieces of at most `size` bytes (tests,
// fuzzing and benchmarks cut texts at chosen places this way).
class StringChunks final : public TextChunks {
 public:
  explicit StringChunks(std::string_view text, size_t size = ~size_t{0})
      : text_(text), size_(size == 0 ? 1 : size), total_(text.size()) {}
  bool next(std::string_view& piece) override {
    if (text_.empty()) return false;
    piece = text_.substr(0, std::min(size_, text_.size()));
    text_.remove_prefix(piece.size());
    return true;
  }
  uint64_t total_size() const override { return total_; }

 private:
  std::string_view text_;
  size_t size_;
  uint64_t total_;
};

// A text in memory, each piece of at most `size` bytes copied into one
// buffer that the next piece overwrites, as a file is read: a view of a
// piece lasts exactly as long as the interface promises (tests and
// fuzzing check that no reader keeps one longer).
class CopiedChunks final : public TextChunks {
 public:
  CopiedChunks(std::string_view text, size_t size) : text_(text), total_(text.size()), buffer_(size == 0 ? 1 : size, '#') {}
  bool next(std::string_view& piece) override {
    if (text_.empty()) return false;
    const size_t n = std::min(buffer_.size(), text_.size());
    std::fill(buffer_.begin(), buffer_.end(), '#');  // what a stale view would show
    std::memcpy(buffer_.data(), text_.data(), n);
    text_.remove_prefix(n);
    piece = std::string_view(buffer_.data(), n);
    return true;
  }
  uint64_t total_size() const override { return total_; }

 private:
  std::string_view text_;
  uint64_t total_;
  std::string buffer_;
};

// Where an encoded text goes, in pieces, in order. Writing failures throw
// IoFailure.
class TextOutput {
 public:
  virtual void write(std::string_view piece) = 0;

 protected:
  ~TextOutput() = default;
};

}  // namespace vantoro::persist
