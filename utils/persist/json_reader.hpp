// Reading the two saved-index texts: one forward pass over the bytes that
// hands each record to a receiver as it goes. The text may arrive in pieces
// of any size (a file read a piece at a time): a name, an escape or a number
// may be cut anywhere, and a fault is reported at the same place, with the
// same line and column, however the text was cut. No document tree is built
// and no input can drive the reader into deep recursion: values that the
// format ignores are skipped with an explicit bracket stack.
//
// Receivers see, per record: begin(key), then in file order id(text) and,
// for each member of its maps, name(text) followed by count(value), then
// end(). Every text is valid only during the call.
#pragma once

#include <cstdint>
#include <string_view>

#include "index/builder.hpp"
#include "index/mirror_builder.hpp"
#include "persist/format_error.hpp"
#include "persist/text_stream.hpp"

namespace vantoro::persist {

// Reads a documents text (an object of key -> Document record) into
// `builder` through begin_document / document_count / end_document.
// Throws FormatError at the first fault; the builder is then half filled and
// must be discarded.
void decode_documents(std::string_view text, IndexBuilder& builder);
void decode_documents(TextChunks& text, IndexBuilder& builder);

// Reads a token text (an object of key -> Token record) into `builder`
// through begin_token / token_count / end_token. Throws FormatError likewise.
void decode_tokens(std::string_view text, IndexBuilder& builder);
void decode_tokens(TextChunks& text, IndexBuilder& builder);

// Which records of a text to read: those between two splits, each the
// offset of the ',' between two records. A `begin` of 0 is the text's
// start, else the text starts at that ','; an `end` of 0 is the text's end,
// else the reading checks that a record ends there. The parts of a text can
// so be read at once.
struct TextPart {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// The same texts, or parts of them, into a load of files that mirror each
// other (mirror_builder.hpp); these also throw MirrorBroken, as does a part
// that does not end at its split.
void decode_documents(TextChunks& text, MirrorDocumentsPart& documents, TextPart part);
void decode_tokens(TextChunks& text, MirrorTokensPart& tokens, TextPart part);

}  // namespace vantoro::persist
