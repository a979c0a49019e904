// Decoding the pair of texts of a saved index into a fresh Index.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "index/index.hpp"
#include "persist/text_stream.hpp"

namespace vantoro::persist {

// Opens one of the two texts at a byte offset (0, or the first byte of a
// character): 0 the documents, 1 the tokens. Throws IoFailure when it
// cannot.
using OpenText = std::function<std::unique_ptr<TextChunks>(int text, uint64_t offset)>;

// Texts shorter than this are read on one thread.
constexpr uint64_t kSplitMin = uint64_t{1} << 22;

// Reads and decodes both texts and returns the index they describe, or
// throws the failure that reading both whole and then decoding both, one
// after the other, would meet first: a reading failure of the documents
// text (its opening, a read, or invalid UTF-8), then one of the token text,
// then a format error of the documents text, then one of the token text.
//
// Texts that mirror each other (mirror_builder.hpp) are read once each,
// with `threads` of 2 or more each in two parts at once where it is at
// least `split_min` bytes long. Others are opened and read a second time,
// exactly, one after the other.
Index decode_index(const OpenText& open, size_t threads, uint64_t split_min = kSplitMin);

// The reading of texts that mirror each other alone: none when they turn
// out not to; MirrorBroken, FormatError or IoFailure thrown where the
// reading stops early. decode_index then reads them exactly.
std::optional<Index> decode_mirrored(const OpenText& open, size_t threads, uint64_t split_min = kSplitMin);

}  // namespace vantoro::persist
