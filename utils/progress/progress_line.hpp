// The progress report of long operations: one new line per report,
// "<pct>% [<20-cell bar>] <count>/<total>", on standard output.
#pragma once

#include <cstdint>
#include <string>

namespace vantoro {

struct WriteCon {
  // Writes the line for `count` of `total` (nothing when count is 0).
  static void display(uint64_t count, uint64_t total);

  // The line that display writes, without its line feed.
  static std::string format(uint64_t count, uint64_t total);
};

}  // namespace vantoro
