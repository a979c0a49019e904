#include "persist/background_close.hpp"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vantoro::persist {
namespace {

// The descriptors waiting to be closed and the one being closed. Never
// destroyed: the thread may still run while static objects are destroyed
// at exit.
struct Closer {
  std::mutex lock;
  std::condition_variable closed;  // a close has ended
  std::vector<int> pending;
  int closing = -1;
  bool running = false;  // a thread is closing the pending descriptors
};

Closer& closer() {
  static Closer* const instance = new Closer;
  return *instance;
}

void close_pending() {
  Closer& c = closer();
  std::unique_lock<std::mutex> held(c.lock);
  while (!c.pending.empty()) {
    const int fd = c.pending.back();
    c.pending.pop_back();
    c.closing = fd;
    held.unlock();
    ::close(fd);
    held.lock();
    c.closing = -1;
    c.closed.notify_all();
  }
  c.running = false;
}

// Around fork(): the parent waits for a close under way to end, so that the
// child's descriptor table holds only pending descriptors, which the child
// closes (it has no closing thread). The lock is held across the fork.
void before_fork() {
  Closer& c = closer();
  std::unique_lock<std::mutex> held(c.lock);
  c.closed.wait(held, [&] { return c.closing < 0; });
  held.release();
}

void after_fork_in_parent() { closer().lock.unlock(); }

void after_fork_in_child() {
  Closer& c = closer();
  for (const int fd : c.pending) ::close(fd);
  c.pending.clear();
  c.running = false;
  c.lock.unlock();
}

bool fork_handlers_registered() {
  static const bool registered = [] {
    closer();  // made before any fork handler can run
    return ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  return registered;
}

}  // namespace

void close_in_background(int fd) noexcept {
  if (fd < 0) return;
  try {
    if (fork_handlers_registered()) {
      Closer& c = closer();
      std::lock_guard<std::mutex> held(c.lock);
      c.pending.push_back(fd);
      if (c.running) return;
      try {
        std::thread(close_pending).detach();
        c.running = true;
        return;
      } catch (...) {
        c.pending.pop_back();
      }
    }
  } catch (...) {
  }
  ::close(fd);  // no thread, no memory: close here
}

}  // namespace vantoro::persist
