#include "index/document_maps.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace vantoro {

DocumentColumns::DocumentColumns(const Index& index, DocumentColumnSizes sizes)
    : index_(index), documents_(index.document_name_count()) {
  const uint32_t tokens = index.token_name_count();
  cursors_.resize(tokens);
  next_.assign(tokens, ~0u);
  uint64_t postings = 0;
  for (NameId t = 0; t < tokens; ++t) {
    const PostingList& list = index.postings(t);
    if (!index.token_present(t) || list.empty()) continue;
    cursors_[t] = Cursor{list.docs(), list.short_counts(), list.size(), 0};
    next_[t] = list.docs()[0];
    postings += list.size();
  }
  const uint64_t per_chunk = postings ? sizes.chunk_pairs * documents_ / postings : documents_;
  chunk_ = static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint64_t>({per_chunk, sizes.min_chunk_documents, 1}), std::max(documents_, 1u)));
  const uint64_t per_bucket = postings ? sizes.bucket_pairs * documents_ / postings : documents_;
  bucket_shift_ = static_cast<uint32_t>(std::bit_width(std::clamp<uint64_t>(per_bucket, 1, chunk_)) - 1);
  ends_.resize(chunk_);
  buckets_.resize(((size_t{chunk_} - 1) >> bucket_shift_) + 1);
}

bool DocumentColumns::next() {
  if (end_ >= documents_) return false;
  begin_ = end_;
  end_ = static_cast<uint32_t>(std::min<uint64_t>(documents_, uint64_t{begin_} + chunk_));
  const uint32_t n = end_ - begin_;

  active_.clear();
  for (NameId t = 0; t < next_.size(); ++t) {
    if (next_[t] < end_) active_.push_back(t);
  }
  // Into buckets, token after token: each bucket gets its pairs in token
  // order. The lists' first postings in the chunk are scattered: they are
  // requested a few tokens ahead.
  const size_t buckets = ((size_t{n} - 1) >> bucket_shift_) + 1;
  for (size_t b = 0; b < buckets; ++b) buckets_[b].clear();
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < active_.size(); ++i) {
    if (i + 2 * kAhead < active_.size()) __builtin_prefetch(&cursors_[active_[i + 2 * kAhead]]);
    if (i + kAhead < active_.size()) {
      const Cursor& ahead = cursors_[active_[i + kAhead]];
      __builtin_prefetch(ahead.docs + ahead.at);
      __builtin_prefetch(ahead.counts + ahead.at);
    }
    const NameId t = active_[i];
    Cursor& c = cursors_[t];
    uint32_t p = c.at;
    for (; p < c.size && c.docs[p] < end_; ++p) {
      const uint32_t offset = c.docs[p] - begin_;
      const int32_t count = c.counts[p] != 0 ? c.counts[p] : index_.postings(t).long_count(p);
      buckets_[offset >> bucket_shift_].push_back(Pending{offset, t, count});
    }
    c.at = p;
    next_[t] = p < c.size ? c.docs[p] : ~0u;
  }
  // Each bucket's documents' runs, one bucket after another: ends_[i] is
  // first where document i's run begins, then where it ends.
  size_t total = 0;
  for (size_t b = 0; b < buckets; ++b) total += buckets_[b].size();
  maps_.resize(total);
  std::fill(ends_.begin(), ends_.begin() + n, 0);
  uint32_t at = 0;
  for (size_t b = 0; b < buckets; ++b) {
    const uint32_t first = static_cast<uint32_t>(b << bucket_shift_);
    const uint32_t last = static_cast<uint32_t>(std::min<uint64_t>(n, uint64_t{b + 1} << bucket_shift_));
    for (const Pending& pair : buckets_[b]) ++ends_[pair.offset];
    for (uint32_t i = first; i < last; ++i) at += std::exchange(ends_[i], at);
    for (const Pending& pair : buckets_[b]) maps_[ends_[pair.offset]++] = Posting{pair.token, pair.count};
  }
  return true;
}

}  // namespace vantoro
