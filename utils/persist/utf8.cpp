#include "persist/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantoro::persist {

bool is_valid_utf8(std::string_view text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  while (p < end) {
    // ASCII runs, 64 bytes at a time, then 16.
#if defined(__SSE2__)
    while (end - p >= 64) {
      const __m128i* v = reinterpret_cast<const __m128i*>(p);
      const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                       _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      p += 64;
    }
#endif
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

namespace vantoro::persist {
namespace {

// The length a lead byte announces (a byte that cannot lead counts 1, and the
// check of that one byte refuses it).
inline uint8_t announced_length(unsigned char lead) {
  if (lead >= 0xf0) return 4;
  if (lead >= 0xe0) return 3;
  if (lead >= 0xc0) return 2;
  return 1;
}

}  // namespace

bool Utf8Stream::feed(std::string_view piece) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(piece.data());
  size_t n = piece.size();
  // Complete the character cut at the end of the last piece.
  while (held_ != 0 && n != 0) {
    head_[held_++] = *p++;
    --n;
    if (held_ == needed_) {
      if (!is_valid_utf8(std::string_view(reinterpret_cast<const char*>(head_), held_))) return false;
      held_ = 0;
    }
  }
  if (n == 0) return true;
  // Hold back a character that this piece cuts: its lead byte is among the
  // last three bytes, with fewer bytes after it than it announces.
  size_t whole = n;
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const unsigned char c = p[n - back];
    if ((c & 0xc0) == 0x80) continue;  // a continuation byte: look further back
    if (announced_length(c) > back) whole = n - back;
    break;
  }
  if (!is_valid_utf8(std::string_view(reinterpret_cast<const char*>(p), whole))) return false;
  for (size_t k = whole; k < n; ++k) head_[held_++] = p[k];
  if (held_ != 0) needed_ = announced_length(head_[0]);
  return true;
}

}  // namespace vantoro::persist
