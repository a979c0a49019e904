// Builds a fresh Index record by record, as a decoder reads a saved index.
// Nothing is checked across records: a record's id or text may differ from
// its key, counts may be zero or negative, and tokens may list documents that
// are missing (and the reverse). A later record or count with the same key
// replaces the earlier one.
//
// The token records become the posting lists; the document records give the
// documents and their lengths. Where the two files agree (each document's
// map mirrors the token lists, as every saved index does), the documents'
// maps are dropped; otherwise they are kept as loaded.
//
// This builder holds every record of both files until the end (about 16
// bytes per posting). A load takes it only for files that do not mirror each
// other; files that do are built by mirror_builder.hpp with far less.
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
  struct Run {
    uint64_t begin = 0;
    uint32_t size = 0;
    bool present = false;
  };

  NameId intern_document(std::string_view key);
  NameId intern_token(std::string_view key);
  // Adds (id, count) to the record being built; a repeated id replaces its count.
  void put(NameId id, int32_t count);
  // Records pending_ as the run of `id` in `runs`/`store` (a repeat replaces).
  void close_record(std::vector<Run>& runs, std::vector<Posting>& store, NameId id);
  bool maps_agree() const;

  Index index_;
  NameId current_ = 0;
  std::vector<Posting> pending_;
  std::vector<uint32_t> slot_of_;  // per name id: position in pending_ + 1, or 0
  std::vector<Run> doc_runs_;      // per document id
  std::vector<Posting> doc_store_;
  std::vector<Run> token_runs_;    // per token id
  std::vector<Posting> token_store_;
};

}  // namespace vantoro
