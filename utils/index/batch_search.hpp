#pragma once

#include <vector>

#include "index/search.hpp"

namespace vantoro {

// Answers every query with stored weights when the index has them, else on
// the fly; two or more queries run on the process-wide worker pool.
std::vector<ResultList> batch_search(const Index& index, const std::vector<Query>& queries, size_t n);

}  // namespace vantoro
