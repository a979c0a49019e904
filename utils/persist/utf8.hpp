// Strict UTF-8 validation of loaded texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantoro::persist {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800 to U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text);

// The same check over a text that arrives in pieces: a character may be cut
// between two pieces.
class Utf8Stream {
 public:
  // False when the text read so far cannot be the start of valid UTF-8.
  bool feed(std::string_view piece);
  // False when the text ended inside a character.
  bool finish() const { return held_ == 0; }

 private:
  unsigned char head_[4] = {};  // the start of a character cut at the end of the last piece
  uint8_t held_ = 0;            // bytes of it held
  uint8_t needed_ = 0;          // bytes the character has in all
};

}  // namespace vantoro::persist
