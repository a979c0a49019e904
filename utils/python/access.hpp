// Shared or exclusive access to one BM25 object through its borrow flag:
// 0 free, k > 0 shared k times, -1 exclusive.
#pragma once

#include "python/errors.hpp"

namespace vantoro::python {

enum class AccessMode { shared, exclusive };

class Access {
 public:
  Access(Py_ssize_t& flag, AccessMode mode) : flag_(flag), mode_(mode) {
    if (mode == AccessMode::shared) {
      if (flag_ == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
      ++flag_;
    } else {
      if (flag_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
      flag_ = -1;
    }
  }
  ~Access() {
    if (mode_ == AccessMode::shared) {
      --flag_;
    } else {
      flag_ = 0;
    }
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

 private:
  Py_ssize_t& flag_;
  AccessMode mode_;
};

}  // namespace vantoro::python
