// Writing the two saved-index texts in compact JSON: no white space outside
// strings, no final line feed. A text is handed out in pieces of about
// kWritePiece bytes as it is encoded, so that it is never held whole.
#pragma once

#include <memory>

#include "index/document_maps.hpp"
#include "index/index.hpp"
#include "persist/byte_buffer.hpp"
#include "persist/text_stream.hpp"

namespace vantoro::persist {

inline constexpr size_t kWritePiece = size_t{1} << 20;

// {"<key>":{"id":"<id>","maps":{"<token>":<count>,...}},...} for every
// present document, in id order.
// With `columns`, the documents' maps are taken from it (which another
// thread may be helping to make); it is closed on return.
void encode_documents(const Index& index, TextOutput& out, ColumnQueue* columns = nullptr);
ByteBuffer encode_documents(const Index& index);

// {"<key>":{"text":"<text>","maps":{"<document>":<count>,...}},...} for every
// present token, in id order.
// The token file's records in ranges of tokens, of which a helping thread
// renders some ahead, once it has nothing else to do, while the writer of
// the file renders and writes the others; every range goes out in order.
class TokenTextAhead {
 public:
  // Ranges of about `range_postings` postings each.
  explicit TokenTextAhead(const Index& index, uint64_t range_postings = uint64_t{1} << 18);
  ~TokenTextAhead();
  TokenTextAhead(const TokenTextAhead&) = delete;
  TokenTextAhead& operator=(const TokenTextAhead&) = delete;

  // Renders ranges ahead of the writer until every range is taken or the
  // writer is done: for another thread.
  void help();
  // The writer is done: help() returns.
  void close();
  // Ranges rendered ahead of the writer, which happens only once the helper
  // has taken one (tests and benchmarks).
  size_t rendered_ahead();

  struct State;

 private:
  friend void encode_tokens(const Index& index, TextOutput& out, TokenTextAhead* ahead);
  std::unique_ptr<State> state_;
};

// With `ahead`, ranges that its helper has rendered are written as they
// are; it is closed on return.
void encode_tokens(const Index& index, TextOutput& out, TokenTextAhead* ahead = nullptr);
ByteBuffer encode_tokens(const Index& index);

}  // namespace vantoro::persist
