// Stress of the worker pool for ThreadSanitizer: several threads run batch
// searches on several indexes at once, and the process forks in between;
// each child searches with its own pool. Every batch must equal the answers
// computed one query at a time beforehand.
//
// The forks happen while no thread allocates: this runtime's allocator does
// not take its locks around fork(), so a child forked while another thread
// held one of them would wait for it forever (the C library's allocator
// does take them).
//
//   pool_stress [ROUNDS]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "index/batch_search.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"

using namespace vantoro;

namespace {

struct Case {
  Index index;
  std::vector<std::string> words;  // owns the text the queries point into
  std::vector<Query> queries;
  std::vector<std::vector<std::pair<std::string, float>>> expected;
};

std::vector<std::pair<std::string, float>> named(const Index& index, const ResultList& results) {
  std::vector<std::pair<std::string, float>> out;
  for (const ResultPair& r : results) out.emplace_back(std::string(index.document_name(r.document)), r.score);
  std::sort(out.begin(), out.end());
  return out;
}

void build(Case& c, int seed, bool frozen) {
  std::vector<std::string> doc_tokens;
  for (int d = 0; d < 300; ++d) {
    std::vector<std::string> tokens;
    for (int k = 0; k < 1 + (d * 7 + seed) % 9; ++k) tokens.push_back("w" + std::to_string((d * 13 + k * k + seed) % 40));
    std::vector<std::string_view> views(tokens.begin(), tokens.end());
    c.index.add_document("doc-" + std::to_string(seed) + "-" + std::to_string(d), views);
  }
  if (frozen) {
    int saved = dup(1);  // freeze reports progress on fd 1
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    freeze(c.index);
    dup2(saved, 1);
    close(null);
    close(saved);
  }
  for (int w = 0; w < 40; ++w) c.words.push_back("w" + std::to_string(w));
  c.words.push_back("absent");
  for (int q = 0; q < 24; ++q) {
    Query query;
    for (int k = 0; k <= q % 3; ++k) query.push_back(c.words[(q * 5 + k * 11 + seed) % c.words.size()]);
    c.queries.push_back(query);
  }
  for (const Query& q : c.queries) {
    c.expected.push_back(named(c.index, frozen ? search_stored(c.index, q, 1000) : search_on_the_fly(c.index, q, 1000)));
  }
}

// Scores may differ in the last bit (summation order); names may not.
bool matches(const Case& c, const std::vector<ResultList>& got) {
  if (got.size() != c.expected.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    auto answer = named(c.index, got[i]);
    if (answer.size() != c.expected[i].size()) return false;
    for (size_t k = 0; k < answer.size(); ++k) {
      if (answer[k].first != c.expected[i][k].first) return false;
      if (std::fabs(answer[k].second - c.expected[i][k].second) > 1e-5f * std::fabs(c.expected[i][k].second)) return false;
    }
  }
  return true;
}

// Lets the searching threads through between forks: close() returns once
// none is inside, and they wait at enter() until open().
class Gate {
 public:
  void enter() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [&] { return !closed_; });
    ++inside_;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(lock_);
    --inside_;
    changed_.notify_all();
  }
  void close() {
    std::unique_lock<std::mutex> lock(lock_);
    closed_ = true;
    changed_.wait(lock, [&] { return inside_ == 0; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(lock_);
    closed_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool closed_ = false;
  int inside_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  std::vector<Case> cases(3);
  for (int i = 0; i < 3; ++i) build(cases[i], i, i != 1);

  std::atomic<int> wrong{0};
  Gate gate;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        const Case& c = cases[(t + r) % cases.size()];
        gate.enter();
        if (!matches(c, batch_search(c.index, c.queries, 1000))) ++wrong;
        gate.leave();
      }
    });
  }
  int failed_children = 0;
  for (int f = 0; f < 3; ++f) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.close();
    const pid_t pid = fork();
    if (pid != 0) gate.open();
    if (pid == 0) {
      // The child has only this thread: the parent's pool is not there.
      alarm(20);  // a child whose pool hangs fails
      for (size_t i = 0; i < cases.size(); ++i) {
        if (!matches(cases[i], batch_search(cases[i].index, cases[i].queries, 1000))) {
          std::fprintf(stderr, "fork %d: wrong batch on index %zu\n", f, i);
          _exit(1);
        }
      }
      _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
      std::fprintf(stderr, "fork %d: %s\n", f, pid < 0 ? "fork failed" : "wait failed");
      ++failed_children;
    } else if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "fork %d: child killed by signal %d\n", f, WTERMSIG(status));
      ++failed_children;
    } else if (WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "fork %d: child exited with status %d\n", f, WEXITSTATUS(status));
      ++failed_children;
    }
  }
  for (std::thread& t : threads) t.join();
  std::printf("pool stress: %d rounds on 4 threads, %d wrong batches, 3 forks, %d failed children\n", rounds,
              wrong.load(), failed_children);
  return wrong == 0 && failed_children == 0 ? 0 : 1;
}
