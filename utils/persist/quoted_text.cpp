#include "persist/quoted_text.hpp"

namespace vantoro::persist {
namespace {

void append_code_point_escape(std::string& out, unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    unsigned digit = (value >> shift) & 0xf;
    if (digit != 0 || started || shift == 0) {
      out += kHex[digit];
      started = true;
    }
  }
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_code_point_escape(out, c);
    } else if (c == 0xc2 && i + 1 < n && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      append_code_point_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace vantoro::persist
