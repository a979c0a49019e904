#include "index/hash.hpp"

#include <sys/random.h>

#include <atomic>
#include <chrono>

namespace vantoro {
namespace {

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

uint64_t process_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return seed;
}

}  // namespace

HashKey fresh_hash_key() {
  static const uint64_t seed = process_seed();
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(2, std::memory_order_relaxed);
  return HashKey{mix64(seed + n * 0x9e3779b97f4a7c15ULL), mix64(seed ^ ((n + 1) * 0xd1b54a32d192ed03ULL))};
}

}  // namespace vantoro
