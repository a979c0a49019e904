// Each document's own map (token -> count), as the documents file holds it.
// Where the index keeps no documents' maps apart, they are the columns of
// the token lists, made a chunk of documents at a time (DocumentColumns),
// so that the whole inverse is never held at once.
#pragma once

#include <cstdint>
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

  // Makes the next chunk's maps; false after the last chunk.
  bool next();
  // The chunk's documents: [begin(), end()).
  uint32_t begin() const { return begin_; }
  uint32_t end() const { return end_; }
  // Document d's pairs (d in the chunk): run(d)[0, size(d)).
  const Posting* run(NameId d) const { return maps_.data() + (d == begin_ ? 0 : ends_[d - begin_ - 1]); }
  uint32_t size(NameId d) const { return ends_[d - begin_] - (d == begin_ ? 0 : ends_[d - begin_ - 1]); }

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
  uint32_t chunk_ = 0;         // documents per chunk
  uint32_t bucket_shift_ = 0;  // log2 of documents per bucket
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
  std::vector<NameId> active_;    // tokens with postings in the chunk
  std::vector<uint32_t> ends_;    // per document of the chunk: where its run ends
  std::vector<std::vector<Pending>> buckets_;  // the chunk's pairs, by document
  std::vector<Posting> maps_;
};

// Calls visit(d, postings, n) for every present document d in id order,
// with its (token, count) pairs.
template <class Visit>
void for_each_document_map(const Index& index, Visit&& visit) {
  const uint32_t documents = index.document_name_count();
  if (const DocumentMaps* maps = index.document_maps()) {
    for (NameId d = 0; d < documents; ++d) {
      if (!index.document_present(d)) continue;
      const DocumentMaps::Run run = d < maps->runs.size() ? maps->runs[d] : DocumentMaps::Run{};
      visit(d, maps->postings.data() + run.begin, run.size);
    }
    return;
  }
  DocumentColumns columns(index);
  while (columns.next()) {
    for (NameId d = columns.begin(); d < columns.end(); ++d) {
      if (index.document_present(d)) visit(d, columns.run(d), columns.size(d));
    }
  }
}

}  // namespace vantoro
