#include "index/staged_add.hpp"

#include <array>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "index/helper_thread.hpp"
#include "progress/progress_line.hpp"

namespace vantoro {
namespace {

// Resolved documents, in list order: document i's token ids are
// tokens[ends[i - 1], ends[i]).
struct ResolvedChunk {
  std::vector<NameId> documents;
  std::vector<uint8_t> new_names;  // 1: the name was interned by this list
  std::vector<size_t> ends;
  std::vector<NameId> tokens;

  void reserve(const StagedAddOptions& options) {
    documents.reserve(options.chunk_documents);
    new_names.reserve(options.chunk_documents);
    ends.reserve(options.chunk_documents);
    tokens.reserve(options.chunk_tokens);
  }
  void clear() {
    documents.clear();
    new_names.clear();
    ends.clear();
    tokens.clear();
  }
  bool full(const StagedAddOptions& options) const {
    return documents.size() >= options.chunk_documents || tokens.size() >= options.chunk_tokens;
  }
};

constexpr size_t kChunks = 3;

// Chunks passing from the resolving stage to the adding stage and back.
// No operation allocates.
class ChunkQueue {
 public:
  explicit ChunkQueue(std::array<ResolvedChunk, kChunks>& chunks) {
    for (ResolvedChunk& chunk : chunks) free_[free_count_++] = &chunk;
  }

  // Resolving side. An empty chunk to fill; null once the adding side stopped.
  ResolvedChunk* take_free() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return free_count_ > 0 || stopped_; });
    if (stopped_) return nullptr;
    return free_[--free_count_];
  }
  void submit(ResolvedChunk* chunk) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ready_[(ready_first_ + ready_count_++) % kChunks] = chunk;
    }
    changed_.notify_all();
  }
  // No more chunks will come.
  void close() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  // Adding side. The next filled chunk; null once closed and drained.
  ResolvedChunk* take_ready() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return ready_count_ > 0 || closed_; });
    if (ready_count_ == 0) return nullptr;
    ResolvedChunk* chunk = ready_[ready_first_];
    ready_first_ = (ready_first_ + 1) % kChunks;
    --ready_count_;
    return chunk;
  }
  void give_back(ResolvedChunk* chunk) {
    chunk->clear();
    {
      std::lock_guard<std::mutex> guard(lock_);
      free_[free_count_++] = chunk;
    }
    changed_.notify_all();
  }
  // Adding failed: the resolving side stops.
  void stop() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::array<ResolvedChunk*, kChunks> free_{};
  size_t free_count_ = 0;
  std::array<ResolvedChunk*, kChunks> ready_{};
  size_t ready_first_ = 0;
  size_t ready_count_ = 0;
  bool closed_ = false;
  bool stopped_ = false;
};

}  // namespace

bool StagedAdd::run(Index& index, DocumentFeed& feed, const StagedAddOptions& options) {
  const size_t total = feed.size();
  std::array<ResolvedChunk, kChunks> chunks;
  try {
    index.lengths_.reserve_more(total);
    index.lengths_f_.reserve_more(total);
    for (ResolvedChunk& chunk : chunks) chunk.reserve(options);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ChunkQueue queue(chunks);

  std::exception_ptr adding_failure;
  std::thread adder;
  const bool started = start_helper(adder, [&]() noexcept {
    try {
      while (ResolvedChunk* chunk = queue.take_ready()) {
        size_t begin = 0;
        for (size_t k = 0; k < chunk->documents.size(); ++k) {
          index.add_resolved(chunk->documents[k], chunk->new_names[k] != 0, chunk->tokens.data() + begin,
                             chunk->ends[k] - begin);
          begin = chunk->ends[k];
        }
        queue.give_back(chunk);
      }
    } catch (...) {
      adding_failure = std::current_exception();
      queue.stop();
    }
  });
  if (!started) return false;

  // Resolving, on this thread. Names from before the list keep their
  // presence while the stages run: the adding stage changes it only for
  // documents this stage handed over, which `claimed` remembers.
  std::exception_ptr resolving_failure;
  ResolvedChunk* chunk = nullptr;
  try {
    StringTable& names = index.doc_names_;
    const uint32_t names_before = names.size();
    const float* lengths_before = index.lengths_f_.data();  // stable: room was made above
    std::unordered_set<NameId> claimed;  // known and absent before the list, added by it
    std::vector<std::string_view> tokens;
    for (size_t i = 0; i < total; ++i) {
      WriteCon::display(i, total);
      const std::string_view id = feed.read(i, tokens);
      const uint64_t id_hash = names.hash(id);
      const bool id_strong = names.strong();
      const NameId known = names.find(id, id_hash);
      if (known != StringTable::kAbsent) {
        // Present, or earlier in the list. A claimed document's lengths are
        // the adding stage's to write: not read here.
        if (known >= names_before || claimed.count(known) != 0 || !std::isnan(lengths_before[known])) continue;
        claimed.insert(known);
      }
      if (!chunk && !(chunk = queue.take_free())) break;  // adding failed
      const size_t begin = chunk->tokens.size();
      chunk->tokens.resize(begin + tokens.size());
      index.intern_tokens(tokens, chunk->tokens.data() + begin);
      NameId d = known;
      bool new_name = false;
      if (known == StringTable::kAbsent) {
        // The table may have switched to its strong hash since: then rehash.
        std::tie(d, new_name) = names.intern(id, names.strong() == id_strong ? id_hash : names.hash(id));
      }
      chunk->documents.push_back(d);
      chunk->new_names.push_back(new_name ? 1 : 0);
      chunk->ends.push_back(chunk->tokens.size());
      if (chunk->full(options)) {
        queue.submit(chunk);
        chunk = nullptr;
      }
    }
  } catch (...) {
    resolving_failure = std::current_exception();
  }
  if (chunk) {
    // The documents resolved before a failure are added; the ids of the
    // failing one, without its entry, are cut off.
    chunk->tokens.resize(chunk->ends.empty() ? 0 : chunk->ends.back());
    queue.submit(chunk);
  }
  queue.close();
  adder.join();

  // Names that no added document came to use are forgotten: every token
  // name has its slot and every document name its lengths again.
  index.token_names_.truncate(static_cast<uint32_t>(index.tokens_.size()));
  index.doc_names_.truncate(static_cast<uint32_t>(index.lengths_.size()));
  // The adding stage only ever fails on a document before the one the
  // resolving stage failed on.
  if (adding_failure) std::rethrow_exception(adding_failure);
  if (resolving_failure) std::rethrow_exception(resolving_failure);
  WriteCon::display(total, total);
  return true;
}

}  // namespace vantoro
