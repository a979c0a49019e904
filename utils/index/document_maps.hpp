// Each document's own map (token -> count), as the documents file holds it.
// Where the index keeps no documents' maps apart, they are the columns of
// the token lists, made a chunk of documents at a time (DocumentColumns),
// so that the whole inverse is never held at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

// How DocumentColumns divides the work.
struct DocumentColumnSizes {
  // About 2 million pairs per chunk (16 MB of maps, 24 MB on their way):
  // fewer chunks visit each list fewer times; smaller ones use less
  // memory. A chunk also has at least `min_chunk_documents` documents,
  // for each chunk looks at every token.
  uint64_t chunk_pairs = uint64_t{1} << 21;
  uint32_t min_chunk_documents = 1024;
  // About 64K pairs per bucket: its span of the maps (512 KB) stays
  // cached while its pairs are put in place.
  uint64_t bucket_pairs = uint64_t{1} << 16;
};

// One chunk of documents' maps: documents [begin, end), document d's pairs
// being run(d)[0, size(d)).
struct ColumnChunk {
  uint32_t begin = 0;
  uint32_t end = 0;
  std::vector<uint32_t> ends;  // per document of the chunk: where its run ends
  std::vector<Posting> maps;
  const Posting* run(NameId d) const { return maps.data() + (d == begin ? 0 : ends[d - begin - 1]); }
  uint32_t size(NameId d) const { return ends[d - begin] - (d == begin ? 0 : ends[d - begin - 1]); }
};

// The columns of the token lists: each document's (token, count) pairs, in
// token order, for one chunk of documents after another.
//
// A chunk's pairs are sorted by document in two stable passes: first into
// buckets of about 64K pairs each, by document, written one after another;
// then within each bucket into the documents' runs. Each pass writes where
// it has just written or into a bucket's span, which stays in the cache: a
// single pass would scatter the pairs over the whole chunk's memory, one
// cache miss each.
class DocumentColumns {
 public:
  explicit DocumentColumns(const Index& index, DocumentColumnSizes sizes = {});

  // Makes the next chunk's maps into `chunk`; false after the last chunk.
  bool next(ColumnChunk& chunk);
  // The same into the chunk that begin() to size() read.
  bool next() { return next(chunk_); }
  uint32_t begin() const { return chunk_.begin; }
  uint32_t end() const { return chunk_.end; }
  const Posting* run(NameId d) const { return chunk_.run(d); }
  uint32_t size(NameId d) const { return chunk_.size(d); }

 private:
  // A pair on its way to its document's run: the document's offset in the
  // chunk, the token and the count.
  struct Pending {
    uint32_t offset;
    NameId token;
    int32_t count;
  };
  // Per token, compactly: its postings and the first not yet visited.
  struct Cursor {
    const uint32_t* docs = nullptr;
    const uint8_t* counts = nullptr;
    uint32_t size = 0;
    uint32_t at = 0;
  };

  const Index& index_;
  std::vector<Cursor> cursors_;
  // The document of each token's first posting not yet visited, ~0u once
  // all are: a chunk finds its tokens without touching the cursors.
  std::vector<uint32_t> next_;
  uint32_t documents_ = 0;
  uint32_t chunk_size_ = 0;    // documents per chunk
  uint32_t bucket_shift_ = 0;  // log2 of documents per bucket
  uint32_t made_ = 0;          // documents made into chunks so far
  std::vector<NameId> active_;                 // tokens with postings in the chunk
  std::vector<std::vector<Pending>> buckets_;  // the chunk's pairs, by document
  ColumnChunk chunk_;
};

// The columns made ahead, on a second thread when one is free: the writer
// of the documents file takes chunks in order while a thread done with its
// own work (the token file) makes the next ones. Chunks are made one at a
// time, by the helper or, when none is ready, by the taker itself.
class ColumnQueue {
 public:
  explicit ColumnQueue(const Index& index, DocumentColumnSizes sizes = {});
  ~ColumnQueue();
  ColumnQueue(const ColumnQueue&) = delete;
  ColumnQueue& operator=(const ColumnQueue&) = delete;

  // The next chunk, in order, valid until give_back(); nullptr after the
  // last. Rethrows a failure to make a chunk on the helping thread.
  const ColumnChunk* take();
  // Hands back the chunk that take() returned.
  void give_back(const ColumnChunk* chunk);
  // Makes chunks ahead until every chunk is made or the queue is closed:
  // for another thread, once it has nothing else to do.
  void help();
  // No more chunks will be taken: help() returns.
  void close();

 private:
  // Chunks made but not taken, at most.
  static constexpr size_t kAhead = 1;

  std::unique_ptr<ColumnChunk> spare();
  // Makes the next chunk outside the lock (which must be held on entry and
  // is held again on return); null after the last chunk.
  std::unique_ptr<ColumnChunk> make(std::unique_lock<std::mutex>& held);

  DocumentColumns columns_;  // used by the thread that set making_
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<ColumnChunk>> ready_;  // made, oldest first
  std::vector<std::unique_ptr<ColumnChunk>> spares_;
  std::unique_ptr<ColumnChunk> taken_;
  bool making_ = false;
  bool made_all_ = false;
  bool closed_ = false;
  std::exception_ptr failure_;
};

// Closes a queue (if any) when it goes out of scope: its helper returns once
// the queue is closed, on every way out of the code that takes from it.
class ClosingQueue {
 public:
  explicit ClosingQueue(ColumnQueue* queue) : queue_(queue) {}
  ~ClosingQueue() {
    if (queue_ != nullptr) queue_->close();
  }
  ClosingQueue(const ClosingQueue&) = delete;
  ClosingQueue& operator=(const ClosingQueue&) = delete;

 private:
  ColumnQueue* queue_;
};

// Calls visit(d, postings, n) for every present document d in id order,
// with its (token, count) pairs. Columns come from `queue` when given.
template <class Visit>
void for_each_document_map(const Index& index, Visit&& visit, ColumnQueue* queue = nullptr) {
  const ClosingQueue closing(queue);
  const uint32_t documents = index.document_name_count();
  if (const DocumentMaps* maps = index.document_maps()) {
    for (NameId d = 0; d < documents; ++d) {
      if (!index.document_present(d)) continue;
      const DocumentMaps::Run run = d < maps->runs.size() ? maps->runs[d] : DocumentMaps::Run{};
      visit(d, maps->postings.data() + run.begin, run.size);
    }
    return;
  }
  const auto visit_chunk = [&](const ColumnChunk& chunk) {
    for (NameId d = chunk.begin; d < chunk.end; ++d) {
      if (index.document_present(d)) visit(d, chunk.run(d), chunk.size(d));
    }
  };
  if (queue != nullptr) {
    while (const ColumnChunk* chunk = queue->take()) {
      visit_chunk(*chunk);
      queue->give_back(chunk);
    }
    return;
  }
  DocumentColumns columns(index);
  ColumnChunk chunk;
  while (columns.next(chunk)) visit_chunk(chunk);
}

}  // namespace vantoro
