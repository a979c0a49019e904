// The process-wide pool of worker threads for batch search. Created by the
// first batch; its size comes from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// then the processors available to the process.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace vantoro {

class WorkerPool {
 public:
  // The pool, created on first call; a forked child creates its own, of the
  // same size, on its first call there. Fails with a Fault whose message
  // begins "The global thread pool has not been initialized." if its threads
  // could not be started (those started are stopped and joined), then and on
  // every later call, in forked children too.
  static WorkerPool& global();

  // Runs task(i) for every i in [0, count) on the workers, each idle worker
  // taking the next task not yet started, and returns when all are done.
  // The first failure of a task is rethrown here; the pool stays usable.
  virtual void run(size_t count, const std::function<void(size_t)>& task) = 0;

 protected:
  ~WorkerPool() = default;
};

// The number of threads a new pool gets in this environment.
size_t configured_thread_count();

// The rule applied to one environment variable's text: a positive count, 0
// for "the processors available", or nothing when the text is not an
// unsigned decimal integer.
std::optional<size_t> parse_thread_setting(const char* text);

// Processors available: the control-group quota, else the affinity mask,
// else the online count; at least 1.
size_t available_processors();

}  // namespace vantoro
