// Decoding the pair of texts of a saved index into a fresh Index.
#pragma once

#include <functional>
#include <memory>

#include "index/index.hpp"
#include "persist/text_stream.hpp"

namespace vantoro::persist {

// Opens one of the two texts from its start: 0 the documents, 1 the tokens.
// Throws IoFailure when it cannot.
using OpenText = std::function<std::unique_ptr<TextChunks>(int text)>;

// Reads and decodes both texts and returns the index they describe, or
// throws the failure that reading both whole and then decoding both, one
// after the other, would meet first: a reading failure of the documents
// text (its opening, a read, or invalid UTF-8), then one of the token text,
// then a format error of the documents text, then one of the token text.
//
// With `threads` of 2 or more the two texts are decoded at the same time,
// the token text on a thread of its own (where none can be started, one
// after the other). Texts that mirror each other (mirror_builder.hpp) are
// read once each; others are opened and read a second time, exactly.
Index decode_index(const OpenText& open, size_t threads);

}  // namespace vantoro::persist
