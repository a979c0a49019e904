#include <atomic>
#include <stdexcept>

#include "check.hpp"
#include "fault.hpp"
#include "index/worker_pool.hpp"

using namespace vantoro;

TEST(thread_settings_parse_unsigned_decimals_only) {
  CHECK(parse_thread_setting("4") == std::optional<size_t>(4));
  CHECK(parse_thread_setting("0") == std::optional<size_t>(0));
  CHECK(!parse_thread_setting(""));
  CHECK(!parse_thread_setting("-1"));
  CHECK(!parse_thread_setting("two"));
  CHECK(!parse_thread_setting("3 "));
  CHECK(!parse_thread_setting("99999999999999999999999"));
  CHECK(available_processors() >= 1);
}

TEST(pool_runs_every_task_once_and_survives_failures) {
  WorkerPool& pool = WorkerPool::global();
  for (int round = 0; round < 50; ++round) {
    std::vector<std::atomic<int>> hits(1000);
    pool.run(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
    for (auto& h : hits) CHECK_EQ(h.load(), 1);
  }
  CHECK_THROWS_MESSAGE(pool.run(100, [](size_t i) { if (i == 37) throw Fault("task failed"); }), "task failed");
  std::atomic<int> sum{0};
  pool.run(10, [&](size_t i) { sum += static_cast<int>(i); });
  CHECK_EQ(sum.load(), 45);
}
