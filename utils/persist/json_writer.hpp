// Writing the two saved-index texts in compact JSON: no white space outside
// strings, no final line feed. Each text is built whole in memory.
#pragma once

#include "index/index.hpp"
#include "persist/byte_buffer.hpp"

namespace vantoro::persist {

// {"<key>":{"id":"<id>","maps":{"<token>":<count>,...}},...} for every
// present document, in id order.
ByteBuffer encode_documents(const Index& index);

// {"<key>":{"text":"<text>","maps":{"<document>":<count>,...}},...} for every
// present token, in id order.
ByteBuffer encode_tokens(const Index& index);

// Appends `text` as a JSON string: quotation marks, backslashes and control
// bytes escaped (\" \\ \b \t \n \f \r, others \u00XX), all else copied.
void append_json_string(ByteBuffer& out, std::string_view text);

// Appends a count in decimal.
void append_json_int(ByteBuffer& out, int32_t value);

}  // namespace vantoro::persist
