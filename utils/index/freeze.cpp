#include "index/freeze.hpp"

#include <cmath>
#include <string>

#include "fault.hpp"
#include "index/bm25.hpp"
#include "progress/progress_line.hpp"
#include "progress/stdout_line.hpp"

namespace vantoro {

void freeze(Index& index) {
  write_stdout("freezing index\n");

  const uint32_t names = index.token_name_count();
  uint64_t postings = 0;
  for (NameId t = 0; t < names; ++t) {
    if (index.token_present(t)) postings += index.token(t).postings.size();
  }
  FrozenWeights fresh;
  fresh.begin.assign(names, 0);
  fresh.size.assign(names, 0);
  fresh.weights.reserve(postings);

  const uint64_t n = index.document_count();
  const float avg = average_length(index.total_length(), n);
  const float k1 = index.k1();
  const float b = index.b();
  const std::vector<float>& lengths = index.length_table();

  const uint64_t total = index.token_count();
  uint64_t done = 0;
  for (NameId t = 0; t < names; ++t) {
    if (!index.token_present(t)) continue;
    WriteCon::display(done, total);
    ++done;
    const std::vector<Posting>& list = index.token(t).postings;
    if (list.empty()) continue;
    const float factor = idf_factor(n, list.size());
    fresh.begin[t] = fresh.weights.size();
    fresh.size[t] = static_cast<uint32_t>(list.size());
    for (const Posting& p : list) {
      const float dl = lengths[p.id];
      if (std::isnan(dl)) throw Fault(kMissingValue);
      fresh.weights.push_back(token_weight(k1, b, factor, p.count, dl, avg));
    }
  }
  WriteCon::display(total, total);

  const size_t stored = fresh.weights.size();
  fresh.any = stored != 0;
  index.set_frozen(std::move(fresh), avg);
  write_stdout("The number of index that was freezed:" + std::to_string(stored) + "\n");
}

}  // namespace vantoro
