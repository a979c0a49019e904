#include "index/top_n.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"

namespace vantoro {

ResultList top_n(const ScoreAccumulator& scores, size_t n) {
  const std::vector<NameId>& touched = scores.touched();
  ResultList results;
  results.reserve(touched.size());
  for (NameId d : touched) results.push_back(ResultPair{d, scores.score(d)});

  if (results.size() >= 2) {
    for (const ResultPair& r : results) {
      if (std::isnan(r.score)) throw Fault(kMissingValue);
    }
  }
  auto better = [](const ResultPair& a, const ResultPair& b) { return a.score > b.score; };
  if (n < results.size()) {
    std::nth_element(results.begin(), results.begin() + static_cast<ptrdiff_t>(n), results.end(), better);
    results.resize(n);
  }
  std::sort(results.begin(), results.end(), better);
  return results;
}

}  // namespace vantoro
