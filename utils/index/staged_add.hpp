// Adding a list of documents in two stages on two threads. The calling
// thread reads each document and resolves its names (interns its token
// texts and its name); a helper thread adds the postings of the resolved
// documents, in the same order. Each stage misses the cache on its own
// memory (the name tables for the first; token slots, lists and lengths for
// the second), so the two overlap well.
//
// While both run, each stage owns its members of the index: the first the
// two name tables, the second everything else. They share only the resolved
// ids, handed over a chunk at a time, and the lengths' storage, which holds
// room for every document of the list before they start, so that the first
// stage can read which documents were present before the list.
//
// The outcome is that of adding the documents one by one: a repeated
// identifier is skipped, and when memory runs out the documents before the
// failing one are added and the names that the failing and later ones
// interned are forgotten again.
#pragma once

#include <cstddef>

#include "index/add_documents.hpp"
#include "index/index.hpp"

namespace vantoro {

struct StagedAddOptions {
  size_t chunk_tokens = size_t{1} << 14;  // resolved token ids handed over at a time
  size_t chunk_documents = 1024;
};

class StagedAdd {
 public:
  // Whether `index` can be added to in stages: not while it keeps the index
  // of its last freeze, whose weight lookups read the name tables.
  static bool possible(const Index& index) { return !index.snapshot_; }
  // Adds the feed's documents in two stages, reporting progress as
  // add_documents does. Returns false, having added nothing, where the
  // helper thread or the room for the lengths cannot be had.
  static bool run(Index& index, DocumentFeed& feed, const StagedAddOptions& options = {});
};

}  // namespace vantoro
