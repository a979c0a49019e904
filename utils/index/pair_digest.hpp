// An order-independent digest of (document, token, count) triples, used to
// tell whether the documents file and the token file of a saved index hold
// the same postings without holding both.
//
// Each name gets a keyed 128-bit hash; each triple a keyed 128-bit mix of
// its two name hashes and its count; a file's digest is the sum of its
// triples' mixes in two 64-bit lanes. The key is drawn afresh for every
// load, so no file can be made to collide on purpose. Two files that hold
// different sets of triples give equal digests only if two different sums
// of pseudo-random 128-bit values meet: a probability of about 2^-127 per
// load, so that a billion loads a second would see one false "agree" in
// some 10^21 years. (The documents file's triples form a set: a repeated
// key or name there sends the load the exact way before any comparison. A
// name repeated in a token's map leaves the token file with a triple more
// than the documents file can have, which the digest or the count of
// postings tells.)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "index/hash.hpp"

namespace vantoro {

struct Digest {
  uint64_t low = 0;
  uint64_t high = 0;

  // Adds a triple's mix. The high lane keeps the negated sum: with two
  // different operations the compiler leaves the lanes in general
  // registers instead of packing them into a vector through memory.
  void add(const Digest& other) {
    low += other.low;
    high -= other.high;
  }
  bool operator==(const Digest&) const = default;
};

class DigestKey {
 public:
  DigestKey() {
    for (int i = 0; i < 4; ++i) {
      const HashKey key = fresh_hash_key();
      k_[2 * i] = key.k0;
      k_[2 * i + 1] = key.k1;
    }
    for (size_t n = 0; n < kStarts; ++n) {
      starts_x_[n] = start_x(n);
      starts_y_[n] = start_y(n);
    }
  }

  // A keyed 128-bit hash of a name: two lanes of 16-byte blocks folded
  // through 128-bit multiplications, each lane with keys of its own.
  Digest name(std::string_view s) const { return hash<false>(s); }
  // name(s), for a name followed by at least kPadding readable bytes (as
  // the reader's plain members are: a count and more follow each name). A
  // name of at most 16 bytes is then loaded without a jump on its length,
  // which no branch predictor learns when lengths vary from name to name.
  static constexpr size_t kPadding = 8;
  Digest name_padded(std::string_view s) const { return hash<true>(s); }

  // The mix of one triple, from the hashes of its two names.
  Digest triple(const Digest& document, const Digest& token, int32_t count) const {
    using detail::fold_multiply;
    const uint64_t c = static_cast<uint32_t>(count);
    return Digest{fold_multiply(document.low ^ k_[6], token.low ^ c),
                  fold_multiply(document.high ^ k_[7], token.high ^ (c << 32 | c) ^ k_[0])};
  }

 private:
  // Bytes [0, min(n, 8)) of p in `a` and bytes [8, n) in `b`, each the
  // first byte lowest, the rest zero: for n up to 16.
  static void load_short(const char* p, size_t n, uint64_t& a, uint64_t& b) {
    using detail::load32;
    using detail::load64;
    if constexpr (std::endian::native == std::endian::little) {
      if (n >= 8) {
        a = load64(p);
        b = n > 8 ? load64(p + n - 8) >> (8 * (16 - n)) : 0;
      } else if (n >= 4) {
        a = load32(p) | (load32(p + n - 4) >> (8 * (8 - n)) << 32);
        b = 0;
      } else {
        a = n == 0 ? 0
                   : uint64_t{static_cast<unsigned char>(p[0])} |
                         (n > 1 ? uint64_t{static_cast<unsigned char>(p[1])} << 8 : 0) |
                         (n > 2 ? uint64_t{static_cast<unsigned char>(p[2])} << 16 : 0);
        b = 0;
      }
    } else {
      a = b = 0;
      for (size_t k = 0; k < n; ++k) (k < 8 ? a : b) |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * (k % 8));
    }
  }
  // The same for a name followed by kPadding readable bytes: one or two
  // whole words, masked.
  static void load_short_padded(const char* p, size_t n, uint64_t& a, uint64_t& b) {
    using detail::load64;
    if constexpr (std::endian::native == std::endian::little) {
      const unsigned bits = static_cast<unsigned>(n) * 8;
      // The second word from p + 8 only where the name reaches it: for a
      // shorter name that word may lie past the padding.
      const uint64_t low = load64(p);
      const uint64_t high = load64(n > 8 ? p + 8 : p);
      a = bits >= 64 ? low : low & ((uint64_t{1} << bits) - 1);
      b = bits <= 64 ? 0 : high & (~uint64_t{0} >> (128 - bits));
    } else {
      load_short(p, n, a, b);
    }
  }

  template <bool kPadded>
  Digest hash(std::string_view s) const {
    using detail::fold_multiply;
    using detail::load64;
    const char* p = s.data();
    size_t n = s.size();
    uint64_t x, y;
    if (n < kStarts) [[likely]] {
      x = starts_x_[n];
      y = starts_y_[n];
    } else {
      x = start_x(n);
      y = start_y(n);
    }
    uint64_t a = 0, b = 0;
    if (n <= 16) {
      if constexpr (kPadded) {
        load_short_padded(p, n, a, b);
      } else {
        load_short(p, n, a, b);
      }
    } else {
      for (; n > 16; p += 16, n -= 16) {
        const uint64_t u = load64(p);
        const uint64_t v = load64(p + 8);
        x = fold_multiply(u ^ k_[2], v ^ x);
        y = fold_multiply(u ^ k_[3], v ^ y);
      }
      a = load64(p + n - 16);
      b = load64(p + n - 8);
    }
    return Digest{fold_multiply(a ^ k_[4], b ^ x), fold_multiply(a ^ k_[5], b ^ y)};
  }

  // The lanes' starting values for a name of n bytes; those of names
  // shorter than kStarts bytes, nearly all, are looked up.
  static constexpr size_t kStarts = 65;
  uint64_t start_x(size_t n) const { return k_[0] ^ (uint64_t{n} * 0x9e3779b97f4a7c15ULL); }
  uint64_t start_y(size_t n) const { return k_[1] ^ (uint64_t{n} * 0xc2b2ae3d27d4eb4fULL); }

  uint64_t k_[8];
  uint64_t starts_x_[kStarts];
  uint64_t starts_y_[kStarts];
};

}  // namespace vantoro
