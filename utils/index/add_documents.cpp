#include "index/add_documents.hpp"

#include "index/staged_add.hpp"
#include "index/worker_pool.hpp"
#include "progress/progress_line.hpp"

namespace vantoro {
namespace {

// Below this many documents a second thread costs more than it gives.
constexpr size_t kStagedMinimum = 256;

}  // namespace

void add_documents(Index& index, DocumentFeed& feed) {
  const size_t total = feed.size();
  if (total >= kStagedMinimum && configured_thread_count() >= 2 && StagedAdd::possible(index) &&
      StagedAdd::run(index, feed)) {
    return;
  }
  std::vector<std::string_view> tokens;
  for (size_t i = 0; i < total; ++i) {
    WriteCon::display(i, total);
    std::string_view id = feed.read(i, tokens);
    index.add_document(id, tokens);
  }
  WriteCon::display(total, total);
}

}  // namespace vantoro
