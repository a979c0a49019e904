// The one failure type of the native engine: a message for the caller plus
// the place in the source that raised it (reported on standard error).
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vantoro {

class Fault : public std::runtime_error {
 public:
  explicit Fault(std::string message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(std::move(message)), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// The text used when an internal lookup that must succeed finds nothing.
inline constexpr const char* kMissingValue = "called `Option::unwrap()` on a `None` value";

}  // namespace vantoro
