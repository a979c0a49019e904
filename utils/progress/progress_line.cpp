#include "progress/progress_line.hpp"

#include <cmath>
#include <cstring>

#include "progress/stdout_line.hpp"

namespace vantoro {
namespace {

// Percentage in single precision, halves away from zero, saturated to u64.
uint64_t percentage(uint64_t count, uint64_t total) {
  float ratio = static_cast<float>(count) / static_cast<float>(total);
  float pct = std::roundf(ratio * 100.0f);
  if (!(pct > 0.0f)) return 0;  // NaN or not positive
  if (pct >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<uint64_t>(pct);
}

// Writes `value` right-aligned in `width` characters; returns the end.
char* put_decimal(char* out, uint64_t value, size_t width) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = n; i < width; ++i) *out++ = ' ';
  while (n > 0) *out++ = digits[--n];
  return out;
}

size_t decimal_width(uint64_t value) {
  size_t n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

// Composes the line with its line feed into `out`; returns its length.
size_t compose(char* out, uint64_t count, uint64_t total) {
  const uint64_t pct = percentage(count, total);
  char* p = put_decimal(out, pct, 3);
  *p++ = '%';
  *p++ = ' ';
  *p++ = '[';
  for (uint64_t k = 1; k <= 20; ++k) *p++ = pct >= 5 * k ? '#' : ' ';
  *p++ = ']';
  *p++ = ' ';
  p = put_decimal(p, count, decimal_width(total));
  *p++ = '/';
  p = put_decimal(p, total, 0);
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

}  // namespace

std::string WriteCon::format(uint64_t count, uint64_t total) {
  char line[128];
  size_t n = compose(line, count, total);
  return std::string(line, n - 1);
}

void WriteCon::display(uint64_t count, uint64_t total) {
  char line[128];
  size_t n = compose(line, count, total);
  if (count == 0) return;
  write_stdout(std::string_view(line, n));
}

}  // namespace vantoro
