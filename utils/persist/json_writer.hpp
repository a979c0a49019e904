// Writing the two saved-index texts in compact JSON: no white space outside
// strings, no final line feed. A text is handed out in pieces of about
// kWritePiece bytes as it is encoded, so that it is never held whole.
#pragma once

#include "index/index.hpp"
#include "persist/byte_buffer.hpp"
#include "persist/text_stream.hpp"

namespace vantoro::persist {

inline constexpr size_t kWritePiece = size_t{1} << 20;

// {"<key>":{"id":"<id>","maps":{"<token>":<count>,...}},...} for every
// present document, in id order.
void encode_documents(const Index& index, TextOutput& out);
ByteBuffer encode_documents(const Index& index);

// {"<key>":{"text":"<text>","maps":{"<document>":<count>,...}},...} for every
// present token, in id order.
void encode_tokens(const Index& index, TextOutput& out);
ByteBuffer encode_tokens(const Index& index);

}  // namespace vantoro::persist
