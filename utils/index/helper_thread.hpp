// A second thread for work that splits in two (encoding or decoding the
// two index files, building two halves of the lists). Where no thread can
// be started, for lack of threads or of memory, the caller does the work
// itself: the result is the same, only slower.
#pragma once

#include <exception>
#include <thread>

namespace vantoro {

// Starts `work` on a thread of its own; false where none could be started.
template <class Work>
bool start_helper(std::thread& thread, Work&& work) noexcept {
  try {
    thread = std::thread(std::forward<Work>(work));
    return true;
  } catch (...) {
    return false;
  }
}

// Runs first() on the calling thread and second() on a helper thread when
// `two_threads` and one can be started; else one after the other. Neither
// may throw.
template <class First, class Second>
void run_pair(bool two_threads, First&& first, Second&& second) {
  std::thread helper;
  const bool parallel = two_threads && start_helper(helper, second);
  first();
  if (parallel) {
    helper.join();
  } else {
    second();
  }
}

// As run_pair, for work that may throw: once both are done, the failure of
// first(), else that of second(), is rethrown.
template <class First, class Second>
void run_pair_or_throw(bool two_threads, First&& first, Second&& second) {
  std::exception_ptr failures[2];
  run_pair(
      two_threads,
      [&]() noexcept {
        try {
          first();
        } catch (...) {
          failures[0] = std::current_exception();
        }
      },
      [&]() noexcept {
        try {
          second();
        } catch (...) {
          failures[1] = std::current_exception();
        }
      });
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace vantoro
