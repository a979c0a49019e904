// Adding a list of documents with one progress report per document.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

// A list of documents to add, read one at a time so that the caller need not
// copy the whole list first.
class DocumentFeed {
 public:
  virtual ~DocumentFeed() = default;
  virtual size_t size() const = 0;
  // Returns document i's identifier and fills `tokens` with its tokens; both
  // stay valid until the next call.
  virtual std::string_view read(size_t i, std::vector<std::string_view>& tokens) = 0;
};

// Reports 0..n of n around the n documents; a repeated identifier is skipped.
void add_documents(Index& index, DocumentFeed& feed);

}  // namespace vantoro
