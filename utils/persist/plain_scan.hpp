// Finding where plain string content ends, a block of bytes at a time: the
// content of a string up to '"', '\\' or a control byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantoro::persist {

// Scans [p, end) in whole blocks (16 bytes with SSE2, else 8) and returns
// the first byte that is '"', '\\' or a control byte, or, when there is
// none in the whole blocks, the first byte not scanned (which may be
// `end`). Either way every byte before the result is plain content; the
// caller looks at the few bytes after it itself.
inline const char* skip_plain_blocks(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i slash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1f);
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Control bytes are those whose unsigned maximum with 0x1f is 0x1f.
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
                                     _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + std::countr_zero(mask);
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    for (; end - p >= 8; p += 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      const uint64_t quote = w ^ (kOnes * '"');
      const uint64_t slash = w ^ (kOnes * '\\');
      // Each term sets the high bit of the lowest matching byte exactly;
      // higher bytes may be flagged falsely only above a true match.
      const uint64_t hit = ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash);
      const uint64_t mask = hit & kHigh;
      if (mask != 0) return p + std::countr_zero(mask) / 8;
    }
  }
#endif
  return p;
}

}  // namespace vantoro::persist
