// Each document's own map (token -> count), as the documents file holds it.
// Where the index keeps no documents' maps apart, they are the columns of
// the token lists: a chunk of documents at a time, every token list is read
// up to the chunk's end and its postings are sorted into the documents'
// maps, so the whole inverse is never held at once.
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
  uint64_t postings = 0;
  for (NameId t = 0; t < tokens; ++t) postings += index.token_present(t) ? index.postings(t).size() : 0;
  // About 4 million postings (32 MB) per chunk.
  const uint64_t per_chunk = postings ? (uint64_t{4} << 20) * documents / postings : documents;
  const uint32_t chunk = static_cast<uint32_t>(std::clamp<uint64_t>(per_chunk, 4096, uint64_t{documents} + 1));
  std::vector<uint32_t> cursor(tokens, 0);
  std::vector<uint32_t> start(size_t{chunk} + 1);
  std::vector<Posting> maps;
  for (uint64_t begin = 0; begin < documents; begin += chunk) {
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(documents, begin + chunk));
    std::fill(start.begin(), start.end(), 0);
    for (NameId t = 0; t < tokens; ++t) {
      if (!index.token_present(t)) continue;
      const PostingList& list = index.postings(t);
      for (uint32_t p = cursor[t]; p < list.size() && list.docs()[p] < end; ++p) ++start[list.docs()[p] - begin + 1];
    }
    for (uint32_t i = 1; i <= chunk; ++i) start[i] += start[i - 1];
    maps.resize(start[chunk]);
    for (NameId t = 0; t < tokens; ++t) {
      if (!index.token_present(t)) continue;
      const PostingList& list = index.postings(t);
      uint32_t p = cursor[t];
      for (; p < list.size() && list.docs()[p] < end; ++p) maps[start[list.docs()[p] - begin]++] = Posting{t, list.count(p)};
      cursor[t] = p;
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
