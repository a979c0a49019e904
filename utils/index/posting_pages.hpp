// Storage for the documents' postings: fixed-size pages that never move, so
// a document's run of postings stays where it was written and growing the
// store never copies it or holds two copies at once.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace vantoro {

template <class T>
class Pages {
 public:
  static constexpr size_t kPageSize = size_t{1} << 16;

  // Room for n contiguous items; valid for the life of the store.
  T* allocate(size_t n) {
    if (n == 0) return nullptr;
    if (n > kPageSize) {
      pages_.push_back(std::make_unique<T[]>(n));
      return pages_.back().get();
    }
    if (!current_ || kPageSize - used_ < n) {
      pages_.push_back(std::make_unique<T[]>(kPageSize));
      current_ = pages_.back().get();
      used_ = 0;
    }
    T* run = current_ + used_;
    used_ += n;
    return run;
  }

 private:
  std::vector<std::unique_ptr<T[]>> pages_;
  T* current_ = nullptr;
  size_t used_ = 0;
};

}  // namespace vantoro
