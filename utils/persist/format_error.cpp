#include "persist/format_error.hpp"

#include <cstring>

#include "persist/quoted_text.hpp"

namespace vantoro::persist {

FormatError FormatError::at(std::string description, std::string_view text, size_t position) {
  if (position > text.size()) position = text.size();
  uint64_t line = 1;
  size_t line_start = 0;
  const char* base = text.data();
  for (const char* p = base; p < base + position;) {
    const void* hit = std::memchr(p, '\n', static_cast<size_t>(base + position - p));
    if (hit == nullptr) break;
    const char* feed = static_cast<const char*>(hit);
    ++line;
    line_start = static_cast<size_t>(feed - base) + 1;
    p = feed + 1;
  }
  return FormatError(std::move(description), line, position - line_start, position);
}

std::string FormatError::text() const {
  std::string out = "Error(";
  append_quoted(out, description_);
  out += ", line: ";
  out += std::to_string(line_);
  out += ", column: ";
  out += std::to_string(column_);
  out += ')';
  return out;
}

}  // namespace vantoro::persist
