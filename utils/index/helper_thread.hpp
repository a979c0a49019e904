// A second thread for work that splits in two (encoding or decoding the
// two index files, building two halves of the lists). Where no thread can
// be started, for lack of threads or of memory, the caller does the work
// itself: the result is the same, only slower.
#pragma once

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

}  // namespace vantoro
