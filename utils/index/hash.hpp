// Keyed string hashing for the index's hash tables. Every table draws its own
// random key. Tables start with a fast multiply-fold hash and switch to
// SipHash, a keyed pseudo-random function, if a probe sequence ever grows
// long: crafted collisions cost the attacker one rebuild, then stop working.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vantoro {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// A fresh key per call: a process-wide random seed mixed with a counter.
HashKey fresh_hash_key();

namespace detail {
inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
  v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}
}  // namespace detail

namespace detail {
inline uint64_t load64(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}
inline uint64_t load32(const char* p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  const __uint128_t m = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}
// The bytes of a text of at most 16 as two words: its first and last 8
// (overlapping), 4, or for 1 to 3 bytes the first, middle and last in `a`.
inline void load_short(const char* p, size_t n, uint64_t& a, uint64_t& b) {
  a = b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = (uint64_t{static_cast<unsigned char>(p[0])} << 16) | (uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
        static_cast<unsigned char>(p[n - 1]);
  }
}
}  // namespace detail

// A fast keyed hash: 16-byte blocks folded through 128-bit multiplications.
inline uint64_t fast_hash(const HashKey& key, std::string_view s) {
  using detail::fold_multiply;
  using detail::load64;
  const char* p = s.data();
  size_t n = s.size();
  uint64_t seed = key.k0 ^ (uint64_t{n} * 0x9e3779b97f4a7c15ULL);
  uint64_t a = 0, b = 0;
  if (n <= 16) {
    detail::load_short(p, n, a, b);
  } else {
    for (; n > 16; p += 16, n -= 16) seed = fold_multiply(load64(p) ^ key.k1, load64(p + 8) ^ seed);
    a = load64(p + n - 16);
    b = load64(p + n - 8);
  }
  return fold_multiply(0xa0761d6478bd642fULL ^ s.size(), fold_multiply(a ^ key.k1, b ^ seed));
}

// SipHash-1-3: one compression and three finalisation rounds.
inline uint64_t keyed_hash(const HashKey& key, std::string_view s) {
  uint64_t v0 = key.k0 ^ 0x736f6d6570736575ULL;
  uint64_t v1 = key.k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = key.k0 ^ 0x6c7967656e657261ULL;
  uint64_t v3 = key.k1 ^ 0x7465646279746573ULL;
  const char* p = s.data();
  size_t n = s.size();
  const char* end = p + (n & ~size_t{7});
  for (; p != end; p += 8) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    v3 ^= m;
    detail::sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = uint64_t(n) << 56;
  size_t rest = n & 7;
  if (rest) {
    uint64_t tail = 0;
    std::memcpy(&tail, p, rest);
    last |= tail;
  }
  v3 ^= last;
  detail::sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  detail::sip_round(v0, v1, v2, v3);
  detail::sip_round(v0, v1, v2, v3);
  detail::sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace vantoro
