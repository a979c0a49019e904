// Reading the two saved-index texts: one forward pass over the bytes that
// feeds the records into an IndexBuilder as it goes (a window of at most a
// thousand calls behind the cursor, so that the builder's lookups of many
// names overlap). No document tree is built and no input can drive the
// reader into deep recursion: values that the format ignores are skipped with
// an explicit bracket stack.
#pragma once

#include <string_view>

#include "index/builder.hpp"
#include "persist/format_error.hpp"

namespace vantoro::persist {

// Reads a documents text (an object of key -> Document record) into
// `builder` through begin_document / document_count / end_document.
// Throws FormatError at the first fault; the builder is then half filled and
// must be discarded.
void decode_documents(std::string_view text, IndexBuilder& builder);

// Reads a token text (an object of key -> Token record) into `builder`
// through begin_token / token_count / end_token. Throws FormatError likewise.
void decode_tokens(std::string_view text, IndexBuilder& builder);

}  // namespace vantoro::persist
