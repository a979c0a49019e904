#include "index/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "fault.hpp"

namespace vantoro {
namespace {

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

class ThreadPool final : public WorkerPool {
 public:
  // Starts the threads and returns once each waits for work. If one cannot
  // be started, those already running are stopped and joined before the
  // failure propagates.
  //
  // Waiting matters for fork(): a thread still in its start-up may hold a
  // lock of the allocator or the loader, and a child forked at that moment
  // would wait for that lock forever.
  explicit ThreadPool(size_t threads) {
    try {
      for (size_t i = 0; i < threads; ++i) workers_.emplace_back(&ThreadPool::work, this);
    } catch (...) {
      stop();
      throw;
    }
    std::unique_lock<std::mutex> lock(lock_);
    done_.wait(lock, [&] { return started_ == threads; });
  }

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void run(size_t count, const std::function<void(size_t)>& task) override {
    if (count == 0) return;
    std::lock_guard<std::mutex> one_batch_at_a_time(batch_lock_);
    std::unique_lock<std::mutex> lock(lock_);
    task_ = &task;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    failed_.store(false, std::memory_order_relaxed);
    finished_ = 0;
    failure_ = nullptr;
    ++generation_;
    wake_.notify_all();
    // Wait until every task ran and no worker still holds the batch.
    done_.wait(lock, [&] { return finished_ == count_ && active_ == 0; });
    task_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

  // A pool inherited by a forked child: its threads do not exist there and
  // its locks may be held by them, so it is never used or freed again. The
  // list keeps such pools reachable.
  ThreadPool* abandoned_before = nullptr;

 private:
  void stop() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  void work() {
    // The C++ runtime's per-thread exception state lives in dynamically
    // allocated TLS: made here, a later throw under memory pressure raises
    // instead of aborting in the loader.
    volatile int uncaught = std::uncaught_exceptions();
    (void)uncaught;
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(lock_);
    ++started_;
    done_.notify_all();
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || (task_ != nullptr && generation_ != seen); });
      if (stopping_) return;
      seen = generation_;
      const std::function<void(size_t)>* task = task_;
      const size_t count = count_;
      ++active_;
      lock.unlock();

      size_t completed = 0;
      std::exception_ptr failure;
      for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < count;) {
        // After a failure the remaining tasks are skipped: the batch fails.
        if (!failed_.load(std::memory_order_relaxed)) {
          try {
            (*task)(i);
          } catch (...) {
            failure = std::current_exception();
            failed_.store(true, std::memory_order_relaxed);
          }
        }
        ++completed;
      }

      lock.lock();
      if (failure && !failure_) failure_ = failure;
      finished_ += completed;
      --active_;
      if (finished_ == count_ && active_ == 0) done_.notify_all();
    }
  }

  std::vector<std::thread> workers_;
  std::mutex batch_lock_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(size_t)>* task_ = nullptr;
  size_t count_ = 0;
  size_t finished_ = 0;
  size_t active_ = 0;
  size_t started_ = 0;  // workers that reached their wait for work
  uint64_t generation_ = 0;
  bool stopping_ = false;
  std::atomic<size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;
};

// The process's pool and what is known about it. A forked child starts with
// no pool and builds its own, of the same size, on its first batch.
struct PoolState {
  std::mutex lock;
  ThreadPool* pool = nullptr;        // the running pool, if any
  ThreadPool* abandoned = nullptr;   // pools inherited from a parent process
  size_t size = 0;                   // set by the first attempt
  std::string failure;               // set when the first attempt failed
  bool fork_handlers = false;
};

PoolState& pool_state() {
  static PoolState* state = new PoolState;  // lives until the process ends
  return *state;
}

// No fork happens while a pool is being created or handed out.
void before_fork() { pool_state().lock.lock(); }
void after_fork_in_parent() { pool_state().lock.unlock(); }
void after_fork_in_child() {
  PoolState& state = pool_state();
  if (state.pool) {
    state.pool->abandoned_before = state.abandoned;
    state.abandoned = state.pool;
    state.pool = nullptr;
  }
  state.lock.unlock();  // the forking thread, now the child's only one, holds it
}

std::optional<size_t> read_setting(const char* name) {
  const char* text = std::getenv(name);
  return text ? parse_thread_setting(text) : std::nullopt;
}

// The cgroup CPU quota in whole processors, if one is set.
std::optional<size_t> cgroup_quota() {
  std::ifstream cgroups("/proc/self/cgroup");
  std::string line;
  while (std::getline(cgroups, line)) {
    // "0::/path" (v2) or "N:cpu,cpuacct:/path" (v1)
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    double quota = -1, period = -1;
    if (controllers.empty()) {
      std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
      std::string q;
      if (max >> q >> period && q != "max") quota = std::strtod(q.c_str(), nullptr);
    } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
      for (const char* root : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        std::ifstream q(std::string(root) + path + "/cpu.cfs_quota_us");
        std::ifstream p(std::string(root) + path + "/cpu.cfs_period_us");
        if (q >> quota && p >> period) break;
        quota = -1;
      }
    }
    if (quota > 0 && period > 0) return std::max<size_t>(1, static_cast<size_t>(quota / period));
  }
  return std::nullopt;
}

}  // namespace

std::optional<size_t> parse_thread_setting(const char* text) {
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  size_t value = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    size_t digit = static_cast<size_t>(*p - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t available_processors() {
  size_t count = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<size_t>(CPU_COUNT(&set));
  if (count == 0) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<size_t>(online) : 1;
  }
  if (auto quota = cgroup_quota()) count = std::min(count, *quota);
  return std::max<size_t>(count, 1);
}

size_t configured_thread_count() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (auto setting = read_setting(name)) return *setting > 0 ? *setting : available_processors();
  }
  return available_processors();
}

WorkerPool& WorkerPool::global() {
  PoolState& state = pool_state();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.pool) return *state.pool;
  // A failed start is not tried again in this process or its children.
  if (!state.failure.empty()) throw Fault(state.failure);
  if (!state.fork_handlers) {
    if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) throw std::bad_alloc();
    state.fork_handlers = true;
  }
  if (state.size == 0) state.size = configured_thread_count();
  try {
    state.pool = new ThreadPool(state.size);
  } catch (const std::bad_alloc&) {
    throw;  // out of memory: MemoryError, and a later batch tries again
  } catch (const std::exception& e) {
    state.failure = std::string(kNotInitialized) + " " + e.what();
    throw Fault(state.failure);
  }
  return *state.pool;
}

}  // namespace vantoro
