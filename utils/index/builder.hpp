// Builds a fresh Index record by record, as a decoder reads a saved index.
// Nothing is checked across records: a record's id or text may differ from
// its key, counts may be zero or negative, and tokens may list documents that
// are missing (and the reverse). A later record or count with the same key
// replaces the earlier one.
#pragma once

#include <string_view>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

class IndexBuilder {
 public:
  // Documents map: begin_document, any number of document_count, end_document.
  void begin_document(std::string_view key);
  void document_count(std::string_view token, int32_t count);
  void end_document(std::string_view record_id);

  // Token map: begin_token, any number of token_count, end_token.
  void begin_token(std::string_view key);
  void token_count(std::string_view document, int32_t count);
  void end_token(std::string_view record_text);

  // The finished index; call once, after both maps.
  Index take();

 private:
  Index index_;
  NameId current_ = 0;
  std::vector<Posting> pending_;
  std::vector<uint32_t> slot_of_;  // per name id: position in pending_ + 1, or 0
};

}  // namespace vantoro
