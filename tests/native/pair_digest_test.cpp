#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "index/pair_digest.hpp"

using namespace vantoro;

// The reader hashes a plain member's name with name_padded and every other
// name with name: the two must agree on every name, whatever follows it, or
// no pair of files would ever be read as mirrors.
TEST(pair_digest_padded_names_hash_as_plain_ones) {
  const DigestKey key;
  std::mt19937_64 rng(5);
  for (size_t n = 0; n <= 40; ++n) {
    for (int round = 0; round < 50; ++round) {
      // Exactly the padding after the name, so that a sanitizer build
      // catches a read past it.
      std::vector<char> bytes(n + DigestKey::kPadding);
      for (char& c : bytes) c = static_cast<char>(rng());
      const std::string_view name(bytes.data(), n);
      const Digest plain = key.name(std::string(name));
      CHECK(key.name_padded(name) == plain);
      CHECK(key.name(name) == plain);
      // What follows the name does not count.
      for (size_t k = n; k < bytes.size(); ++k) bytes[k] = static_cast<char>(~bytes[k]);
      CHECK(key.name_padded(name) == plain);
      // Every byte of the name counts, in both halves of a short name.
      for (size_t k = 0; k < n; ++k) {
        bytes[k] = static_cast<char>(bytes[k] ^ 0x40);
        const Digest changed = key.name_padded(name);
        CHECK(!(changed == plain));
        CHECK(changed == key.name(std::string(name)));
        bytes[k] = static_cast<char>(bytes[k] ^ 0x40);
      }
    }
  }
  // A trailing zero byte is not the end of the name.
  CHECK(!(key.name(std::string_view("ab", 2)) == key.name(std::string_view("ab\0", 3))));
  CHECK(!(key.name(std::string_view("abcdefgh", 8)) == key.name(std::string_view("abcdefgh\0", 9))));
}
