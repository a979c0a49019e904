// The BM25 token weight, in single precision and in one fixed order of
// operations, shared by freezing and on-the-fly scoring so that both give
// the same bits for the same statistics.
#pragma once

#include <math.h>

#include <cstdint>

namespace vantoro {

// The fixed parameters of every index: term-frequency saturation and
// document-length normalisation.
inline constexpr float kK1 = 1.2f;
inline constexpr float kB = 0.75f;

// The inverse document frequency factor, 1 + ln((N + 1) / (df + 1)).
inline float idf_factor(uint64_t document_count, uint64_t document_frequency) {
  const float n = static_cast<float>(document_count);
  const float df = static_cast<float>(document_frequency);
  const float idf = ::logf((n + 1.0f) / (df + 1.0f));
  return idf + 1.0f;
}

// Average document length: the wrapping 64-bit total, read unsigned, over N.
inline float average_length(uint64_t total_length, uint64_t document_count) {
  return static_cast<float>(total_length) / static_cast<float>(document_count);
}

// ((k1 + 1) * tf) / ((dl / avg * b + (1 - b)) * k1 + tf) * factor
inline float token_weight(float k1, float b, float factor, int32_t count, float dl, float avg) {
  const float tf = static_cast<float>(count);
  float a = k1 + 1.0f;
  a = a * tf;
  float q = dl / avg;
  q = q * b;
  q = q + (1.0f - b);
  q = q * k1;
  q = q + tf;
  float w = a / q;
  return w * factor;
}

}  // namespace vantoro
