// Finding where plain string content ends, a 16-byte block at a time: the
// fast reading of map members as a save writes them.
#pragma once

#include <bit>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantoro::persist {

// The first byte in [p, end) that is '"', '\\' or a control byte, looking
// at whole blocks of 16 bytes only: null when there is none before fewer
// than 16 bytes remain (the caller then reads the rest the general way).
inline const char* find_string_stop(const char* p, const char* end) {
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
  for (; end - p >= 16; p += 16) {
    for (int k = 0; k < 16; ++k) {
      const unsigned char c = static_cast<unsigned char>(p[k]);
      if (c == '"' || c == '\\' || c < 0x20) return p + k;
    }
  }
#endif
  return nullptr;
}

}  // namespace vantoro::persist
