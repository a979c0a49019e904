#include "persist/number_text.hpp"

#include <charconv>

namespace vantoro::persist {

std::string plain_decimal(double value) {
  // Shortest round-trip digits in scientific form, e.g. "-2.5e-03".
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<size_t>(result.ptr - buffer));

  std::string out;
  size_t i = 0;
  if (i < sci.size() && sci[i] == '-') {
    out += '-';
    ++i;
  }
  std::string digits;
  for (; i < sci.size() && sci[i] != 'e'; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  int exponent = 0;
  if (i < sci.size()) {
    const char* e = sci.data() + i + 1;
    if (*e == '+') ++e;
    std::from_chars(e, sci.data() + sci.size(), exponent);
  }

  // The value is 0.<digits> times ten to the power `point`.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

}  // namespace vantoro::persist
