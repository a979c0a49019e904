#include "index/add_documents.hpp"

#include "progress/progress_line.hpp"

namespace vantoro {

void add_documents(Index& index, DocumentFeed& feed) {
  const size_t total = feed.size();
  std::vector<std::string_view> tokens;
  for (size_t i = 0; i < total; ++i) {
    WriteCon::display(i, total);
    std::string_view id = feed.read(i, tokens);
    index.add_document(id, tokens);
  }
  WriteCon::display(total, total);
}

}  // namespace vantoro
