// Text in double quotes as failure descriptions show it: quotation marks and
// backslashes get a backslash, control characters become escapes.
#pragma once

#include <string>
#include <string_view>

namespace vantoro::persist {

// Appends `text` to `out` between double quotes. Escapes: \" \\ \t \r \n \0,
// and \u{hex} (lower case, no leading zeros) for the other C0 controls, DEL
// and the C1 controls U+0080 to U+009F. Every other byte is copied as is.
void append_quoted(std::string& out, std::string_view text);

inline std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace vantoro::persist
