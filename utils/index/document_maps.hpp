// Each document's own map (token -> count), as the documents file holds it.
// Where the index keeps no documents' maps apart, they are the columns of
// the token lists: a chunk of documents at a time, the token lists with
// postings in the chunk are read up to its end and their postings are
// sorted into the documents' maps, so the whole inverse is never held at
// once.
#pragma once

#include <algorithm>
#include <vector>

#include "index/index.hpp"

namespace vantoro {

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
  const uint32_t tokens = index.token_name_count();
  // Per token, compactly: its postings, the first not yet visited, and that
  // posting's document (~0u once all are visited, in an array of its own),
  // so that a chunk skips the lists it has no posting in without touching
  // them.
  struct Cursor {
    const uint32_t* docs = nullptr;
    const uint8_t* counts = nullptr;
    uint32_t size = 0;
    uint32_t at = 0;
  };
  std::vector<Cursor> cursors(tokens);
  std::vector<uint32_t> next(tokens, ~0u);
  uint64_t postings = 0;
  for (NameId t = 0; t < tokens; ++t) {
    const PostingList& list = index.postings(t);
    if (!index.token_present(t) || list.empty()) continue;
    cursors[t] = Cursor{list.docs(), list.short_counts(), list.size(), 0};
    next[t] = list.docs()[0];
    postings += list.size();
  }
  // About 4 million postings (32 MB of maps) per chunk: fewer chunks visit
  // each list fewer times; smaller ones sort in faster memory.
  const uint64_t per_chunk = postings ? (uint64_t{1} << 22) * documents / postings : documents;
  const uint32_t chunk = static_cast<uint32_t>(std::clamp<uint64_t>(per_chunk, 1024, uint64_t{documents} + 1));
  std::vector<uint32_t> start(size_t{chunk} + 1);
  std::vector<NameId> active;
  std::vector<Posting> maps;
  for (uint64_t begin = 0; begin < documents; begin += chunk) {
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(documents, begin + chunk));
    std::fill(start.begin(), start.end(), 0);
    active.clear();
    for (NameId t = 0; t < tokens; ++t) {
      if (next[t] < end) active.push_back(t);
    }
    for (const NameId t : active) {
      const Cursor& c = cursors[t];
      for (uint32_t p = c.at; p < c.size && c.docs[p] < end; ++p) ++start[c.docs[p] - begin + 1];
    }
    for (uint32_t i = 1; i <= chunk; ++i) start[i] += start[i - 1];
    maps.resize(start[chunk]);
    for (const NameId t : active) {
      Cursor& c = cursors[t];
      uint32_t p = c.at;
      for (; p < c.size && c.docs[p] < end; ++p) {
        const int32_t count = c.counts[p] != 0 ? c.counts[p] : index.postings(t).long_count(p);
        maps[start[c.docs[p] - begin]++] = Posting{t, count};
      }
      c.at = p;
      next[t] = p < c.size ? c.docs[p] : ~0u;
    }
    // start[i] now ends document i's run; it began where i - 1's ended.
    for (uint32_t d = static_cast<uint32_t>(begin); d < end; ++d) {
      if (!index.document_present(d)) continue;
      const uint32_t i = d - static_cast<uint32_t>(begin);
      const uint32_t run_begin = i == 0 ? 0 : start[i - 1];
      visit(d, maps.data() + run_begin, start[i] - run_begin);
    }
  }
}

}  // namespace vantoro
