// An upper bound of the on-the-fly weights of a group of postings (a block,
// or a whole list), from the group's largest count T and shortest document
// length D.
//
// Why it holds. Let w(tf, dl) be the weight in exact arithmetic on the same
// single-precision inputs (k1 > 0, 0 < b <= 1, avg > 0, factor > 0, tf >= 1,
// dl >= 0): w = (k1 + 1) tf / (k1 (1 - b + b dl / avg) + tf) * factor. It
// grows with tf (the quotient tf / (K + tf) with K > 0 does) and shrinks
// with dl. Conversion to single precision is monotone, so every posting of
// the group has float(tf) <= float(T) and float(dl) >= float(D), and
// w(tf, dl) <= w(T, D).
//
// The routine computes w with nine single-precision operations, each exact
// up to a relative error of at most u = 2^-24, on positive operands: the
// numerator takes one rounding, the denominator five, the quotient and the
// factor one each. So the computed weight of any posting is at most
// w(tf, dl) (1 + u)^3 / (1 - u)^5 < w(tf, dl) (1 + 9u) <= w(T, D) (1 + 9u),
// and the same routine at (T, D) gives at least w(T, D) (1 - 9u). Hence
//   computed(tf, dl) <= computed(T, D) (1 + 9u) / (1 - 9u) < computed(T, D) (1 + 19u).
// The bound below multiplies computed(T, D) by 1 + 64u in double precision
// (exact for these magnitudes) and rounds the product up to single
// precision: a margin more than three times the one needed.
#pragma once

#include <cmath>
#include <cstdint>

#include "index/bm25.hpp"

namespace vantoro {

inline float weight_upper_bound(float k1, float b, float factor, int32_t max_count, float min_length, float avg) {
  const float w = token_weight(k1, b, factor, max_count, min_length, avg);
  const double raised = static_cast<double>(w) * (1.0 + 0x1p-18);
  float bound = static_cast<float>(raised);
  if (static_cast<double>(bound) < raised) bound = std::nextafter(bound, INFINITY);
  return bound;
}

}  // namespace vantoro
