// The failure of reading a saved-index text: what was found, and where.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace vantoro::persist {

class FormatError : public std::exception {
 public:
  FormatError(std::string description, uint64_t line, uint64_t column, uint64_t offset = 0)
      : description_(std::move(description)), line_(line), column_(column), offset_(offset) {}

  // Locates byte offset `position` of `text` as a line (1 + the line feeds
  // before it) and a column (bytes since the start of that line).
  static FormatError at(std::string description, std::string_view text, size_t position);

  const std::string& description() const { return description_; }
  uint64_t line() const { return line_; }
  uint64_t column() const { return column_; }
  // The byte offset in the text that the line and column name.
  uint64_t offset() const { return offset_; }

  // Error("<description>", line: L, column: C), the description quoted.
  std::string text() const;

  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
  uint64_t line_;
  uint64_t column_;
  uint64_t offset_;
};

}  // namespace vantoro::persist
