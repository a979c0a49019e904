#include "progress/system_error_text.hpp"

#include <string.h>

namespace vantoro {
namespace {

// strerror_r comes in two shapes; overloads pick the right reading.
[[maybe_unused]] std::string from_result(int rc, const char* buffer) {
  return rc == 0 ? std::string(buffer) : std::string("Unknown error");
}
[[maybe_unused]] std::string from_result(const char* text, const char*) { return std::string(text); }

}  // namespace

std::string system_error_text(int error_number) {
  char buffer[256] = {0};
  return from_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

}  // namespace vantoro
