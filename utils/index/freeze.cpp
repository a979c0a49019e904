// Freezing: the weight of every (document, token) posting, stored beside
// the postings, with the per-block maxima that let searches skip blocks.
//
// Three phases, so that a freeze either completes or leaves the stored
// weights exactly as they were: (1) the progress reports and the one check
// that can fail (a token listing a missing document), (2) every allocation
// (but the table of where each list's weights go, made first), (3) the
// computation and the swap, which cannot fail.
#include "index/freeze.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fault.hpp"
#include "index/bm25.hpp"
#include "index/helper_thread.hpp"
#include "index/worker_pool.hpp"
#include "progress/progress_line.hpp"
#include "progress/stdout_line.hpp"

namespace vantoro {
namespace {

// The weights of one list into out[0, size) and each block's largest into
// out[size + block], computed a block at a time: the gather of lengths and
// counts is separate from the arithmetic, which the compiler then runs on
// vector registers (same operations, same results). Returns whether every
// weight is a finite number of at least 0.
bool compute_weights(const PostingList& list, const float* lengths, float factor, float avg, float k1, float b,
                     float* out) {
  const uint32_t* docs = list.docs();
  const uint8_t* short_counts = list.short_counts();
  const uint32_t size = list.size();
  float dl[kBlockSize];
  int32_t tf[kBlockSize];
  bool regular = true;
  for (uint32_t begin = 0; begin < size; begin += kBlockSize) {
    const uint32_t n = std::min(kBlockSize, size - begin);
    for (uint32_t i = 0; i < n; ++i) {
      dl[i] = lengths[docs[begin + i]];
      const uint8_t c = short_counts[begin + i];
      tf[i] = c != 0 ? c : list.long_count(begin + i);
    }
    float* w = out + begin;
    for (uint32_t i = 0; i < n; ++i) w[i] = token_weight(k1, b, factor, tf[i], dl[i], avg);
    float m = 0.0f;
    bool fine = true;
    for (uint32_t i = 0; i < n; ++i) {
      m = std::max(m, w[i]);
      fine &= w[i] >= 0.0f && w[i] <= std::numeric_limits<float>::max();
    }
    out[size + (begin >> kBlockShift)] = m;
    regular &= fine;
  }
  return regular;
}

// Below this many postings a second thread costs more than it gives.
constexpr uint64_t kTwoThreadPostings = uint64_t{1} << 16;

// Runs work(part, begin, end) over [0, count) split in two parts of about
// equal weight (weight_before(i): the total weight of the items before i,
// rising), on two threads when `two_threads`.
template <class WeightBefore, class Work>
void in_two_parts(bool two_threads, uint32_t count, WeightBefore&& weight_before, Work&& work) {
  if (!two_threads || count < 2) {
    work(0, 0, count);
    return;
  }
  const uint64_t half = weight_before(count) / 2;
  uint32_t low = 0, high = count;  // the first item whose weight before it reaches half
  while (low < high) {
    const uint32_t mid = low + (high - low) / 2;
    if (weight_before(mid) < half) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  run_pair(true, [&] { work(0, 0, low); }, [&] { work(1, low, count); });
}

// Reports progress, a line per present token, and fails if a list names a
// missing document (only an irregular, loaded index can: `may_miss`).
void report_and_check(const Index& index, bool may_miss) {
  const uint32_t names = index.token_name_count();
  const float* lengths = index.length_table();
  const uint64_t total = index.token_count();
  uint64_t done = 0;
  for (NameId t = 0; t < names; ++t) {
    if (!index.token_present(t)) continue;
    WriteCon::display(done, total);
    ++done;
    if (!may_miss) continue;
    const PostingList& list = index.postings(t);
    for (uint32_t i = 0; i < list.size(); ++i) {
      if (std::isnan(lengths[list.docs()[i]])) throw Fault(kMissingValue);
    }
  }
  WriteCon::display(total, total);
}

}  // namespace

void freeze(Index& index) {
  write_stdout("freezing index\n");

  const uint32_t names = index.token_name_count();
  const float* lengths = index.length_table();
  // Where each list's weights begin in the arena, and how many there are
  // (the sizes stay as they are from here on).
  std::vector<uint64_t> floats_before(size_t{names} + 1);
  uint64_t weights = 0;
  for (NameId t = 0; t < names; ++t) {
    const uint32_t n = index.token_present(t) ? index.postings(t).size() : 0;
    weights += n;
    floats_before[t + 1] = floats_before[t] + PostingList::weight_floats(n);
  }
  const bool may_miss = !index.regular();
  const bool two_threads = weights >= kTwoThreadPostings && configured_thread_count() >= 2;

  // (1) The progress report and the one check that can fail, then (2) every
  // allocation: room for every weight, one arena for all lists in token
  // order (one allocation instead of one per token). It is written once, in
  // order, and not advised for huge pages: first touches of huge pages
  // stalled a freeze by up to three times its time, for no gain measured in
  // searches. Lists give back their unused room first.
  //
  // Where the index is large, a second thread shrinks the lists while this
  // one reports (a write per line) and then makes the arena and touches its
  // pages, so that the faults do not fall in the computing. The helper
  // starts before the report where the check reads no list. Shrinking is
  // the helper's because lists added in two stages were allocated by a
  // helper thread: a new thread reuses that thread's allocator arena, and
  // the shrunk lists fill the room the old ones leave there (on this thread,
  // 1M documents retained 10 % more).
  BigArray<float> arena;
  auto shrink_lists = [&] {
    for (Index::TokenSlot& slot : index.tokens_) slot.list.shrink_to_fit();
  };
  std::exception_ptr shrinking_failure;
  auto shrink_on_helper = [&]() noexcept {
    try {
      shrink_lists();
    } catch (...) {
      shrinking_failure = std::current_exception();
    }
  };
  std::thread helper;
  bool helping = two_threads && !may_miss && start_helper(helper, shrink_on_helper);
  try {
    report_and_check(index, may_miss);
    if (two_threads && may_miss) helping = start_helper(helper, shrink_on_helper);
    if (!helping) shrink_lists();  // first: the arena comes on top of less memory
    arena = BigArray<float>(floats_before[names], /*huge_pages=*/false);
    if (helping) {
      constexpr uint64_t kFloatsPerPage = 4096 / sizeof(float);
      for (uint64_t i = 0; i < floats_before[names]; i += kFloatsPerPage) arena[i] = 0.0f;
    }
  } catch (...) {
    if (helping) helper.join();
    throw;
  }
  if (helping) helper.join();
  if (shrinking_failure) std::rethrow_exception(shrinking_failure);
  // The closing message too: nothing may fail after the swap.
  const std::string message = "The number of index that was freezed:" + std::to_string(weights) + "\n";

  // (3) Compute into the arena, then install (the old weights stay intact
  // until every new one is computed).
  const uint64_t n = index.document_count();
  const float avg = average_length(index.total_length(), n);
  const float k1 = index.k1();
  const float b = index.b();
  bool prunable_parts[2] = {true, true};
  auto compute = [&](int part, uint32_t begin, uint32_t end) noexcept {
    bool prunable = true;
    for (NameId t = begin; t < end; ++t) {
      const PostingList& list = index.postings(t);
      const uint32_t size = index.token_present(t) ? list.size() : 0;
      if (size) prunable &= compute_weights(list, lengths, idf_factor(n, size), avg, k1, b, arena.data() + floats_before[t]);
    }
    prunable_parts[part] = prunable;
  };
  in_two_parts(two_threads, names, [&](uint32_t t) { return floats_before[t]; }, compute);
  const bool prunable = prunable_parts[0] && prunable_parts[1];
  for (NameId t = 0; t < names; ++t) {
    PostingList& list = index.tokens_[t].list;
    list.share_weights(arena.data() + floats_before[t], index.token_present(t) ? list.size() : 0);
  }
  index.weight_arena_.swap(arena);  // the old arena, no longer referred to, goes
  index.frozen_any_ = weights != 0;
  index.weights_prunable_ = prunable;
  index.avgdl_ = avg;
  index.snapshot_.reset();
  index.frozen_at_ = index.changes_;
  if (!index.regular()) index.check_regular();

  write_stdout(message);
}

}  // namespace vantoro
