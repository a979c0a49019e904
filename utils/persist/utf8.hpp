// Strict UTF-8 validation of loaded texts.
#pragma once

#include <string_view>

namespace vantoro::persist {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800 to U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text);

}  // namespace vantoro::persist
