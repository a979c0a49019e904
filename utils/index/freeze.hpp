#pragma once

#include "index/index.hpp"

namespace vantoro {

// Recomputes every (document, token) weight and the average length. On a
// token that lists a missing document it fails and keeps the old weights.
void freeze(Index& index);

}  // namespace vantoro
