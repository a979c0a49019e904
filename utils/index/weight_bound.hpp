// Upper bounds of on-the-fly weights for a block of postings, from what the
// block recorded when it filled up: the largest saturation S of its postings
// at the average document length A0 of that moment.
//
// The weight routine (bm25.hpp) computes, in single precision,
//   w = (K tf / Q(A)) F,   K = k1 + 1,   Q(A) = (dl / A b + (1 - b)) k1 + tf,
// with F the token's idf factor. The saturation is tf / Q(A), computed by
// the same steps. Write w*, s* for the values in exact arithmetic on the same
// single-precision inputs (k1 > 0, 0 <= b <= 1, F > 0, tf >= 1, dl >= 0,
// A, A0 > 0).
//
// Why the bound holds.
//  1. For A >= A0: Q(A) = k1 (1 - b) + tf + k1 b dl / A, and each term is at
//     least A0 / A times its value at A0, so Q(A) >= (A0 / A) Q(A0) and
//     s*(A) <= (A / A0) s*(A0). For A < A0, Q(A) >= Q(A0) and s*(A) <= s*(A0).
//     So s*(A) <= max(1, A / A0) s*(A0).
//  2. Each single-precision operation is exact up to a relative error of at
//     most u = 2^-24, on positive operands. The weight takes one rounding
//     in its numerator, five in Q, one in the quotient and one in the
//     factor: computed w <= w* (1 + u)^3 / (1 - u)^5 < w* (1 + 9u). The
//     saturation takes five in Q and one in the quotient: computed s >=
//     s* (1 - u) / (1 + u)^5 > s* (1 - 7u).
//  3. Hence every posting's computed weight is below
//     F K max(1, A / A0) S (1 + 9u) / (1 - 7u) < F K max(1, A / A0) S (1 + 17u).
// The bound is that product times M = 1 + 2^-16 = 1 + 256u, computed in
// single precision: its four products and the quotient A / A0 each round
// down by at most a factor 1 - u, so the result is at least
// F K max(1, A / A0) S M (1 - u)^5 > F K max(1, A / A0) S (1 + 250u), a
// margin well above the 17u needed. (A product that overflows is +infinity,
// still a bound.)
#pragma once

#include <cmath>
#include <cstdint>

namespace vantoro {

// (dl / avg * b + (1 - b)) * k1, by the weight routine's steps: the part
// of the saturation's denominator that does not depend on the count.
inline float saturation_base(float k1, float b, float dl, float avg) {
  float q = dl / avg;
  q = q * b;
  q = q + (1.0f - b);
  return q * k1;
}

// tf / ((dl / avg * b + (1 - b)) * k1 + tf), by the weight routine's steps.
inline float saturation(float k1, float b, int32_t count, float dl, float avg) {
  const float tf = static_cast<float>(count);
  const float q = saturation_base(k1, b, dl, avg) + tf;
  return tf / q;
}

// A bound of the computed weights of postings whose saturations at average
// `block_average` were at most `max_saturation`, scored with `factor` at
// average `average`.
inline float weight_bound(float k1, float factor, float max_saturation, float block_average, float average) {
  const float growth = average > block_average ? average / block_average : 1.0f;
  return factor * (k1 + 1.0f) * max_saturation * growth * (1.0f + 0x1p-16f);
}

}  // namespace vantoro
