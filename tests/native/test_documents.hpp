// Documents as the native tests write them, and a feed that adds a list of
// them through add_documents or the staged adding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "index/add_documents.hpp"
#include "index/index.hpp"

namespace vantoro::testing {

struct Document {
  std::string id;
  std::vector<std::string> tokens;
};

inline void add(Index& ix, const Document& doc) {
  std::vector<std::string_view> views(doc.tokens.begin(), doc.tokens.end());
  ix.add_document(doc.id, views);
}

class Feed final : public DocumentFeed {
 public:
  explicit Feed(const std::vector<Document>& docs) : docs_(docs) {}
  size_t size() const override { return docs_.size(); }
  std::string_view read(size_t i, std::vector<std::string_view>& tokens) override {
    tokens.assign(docs_[i].tokens.begin(), docs_[i].tokens.end());
    return docs_[i].id;
  }

 private:
  const std::vector<Document>& docs_;
};

}  // namespace vantoro::testing
