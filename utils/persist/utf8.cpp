#include "persist/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vantoro::persist {

bool is_valid_utf8(std::string_view text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  while (p < end) {
    // ASCII runs, 16 bytes at a time.
    while (end - p >= 16) {
      uint64_t a, b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & kHigh) != 0) break;
      p += 16;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const size_t left = static_cast<size_t>(end - p);
    if (c >= 0xc2 && c <= 0xdf) {
      if (left < 2 || (p[1] & 0xc0) != 0x80) return false;
      p += 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      if (left < 3 || (p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80) return false;
      if (c == 0xe0 && p[1] < 0xa0) return false;  // overlong
      if (c == 0xed && p[1] > 0x9f) return false;  // surrogate
      p += 3;
    } else if (c >= 0xf0 && c <= 0xf4) {
      if (left < 4 || (p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80 || (p[3] & 0xc0) != 0x80) return false;
      if (c == 0xf0 && p[1] < 0x90) return false;  // overlong
      if (c == 0xf4 && p[1] > 0x8f) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;  // continuation byte, overlong lead 0xc0/0xc1, or 0xf5 and above
    }
  }
  return true;
}

}  // namespace vantoro::persist
