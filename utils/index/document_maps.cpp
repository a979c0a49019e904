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
  chunk_size_ = static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint64_t>({per_chunk, sizes.min_chunk_documents, 1}), std::max(documents_, 1u)));
  const uint64_t per_bucket = postings ? sizes.bucket_pairs * documents_ / postings : documents_;
  bucket_shift_ = static_cast<uint32_t>(std::bit_width(std::clamp<uint64_t>(per_bucket, 1, chunk_size_)) - 1);
  buckets_.resize(((size_t{chunk_size_} - 1) >> bucket_shift_) + 1);
}

bool DocumentColumns::next(ColumnChunk& chunk) {
  if (made_ >= documents_) return false;
  const uint32_t begin = made_;
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(documents_, uint64_t{begin} + chunk_size_));
  const uint32_t n = end - begin;
  std::vector<uint32_t>& ends = chunk.ends;
  std::vector<Posting>& maps = chunk.maps;
  ends.resize(n);

  active_.clear();
  for (NameId t = 0; t < next_.size(); ++t) {
    if (next_[t] < end) active_.push_back(t);
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
    for (; p < c.size && c.docs[p] < end; ++p) {
      const uint32_t offset = c.docs[p] - begin;
      const int32_t count = c.counts[p] != 0 ? c.counts[p] : index_.postings(t).long_count(p);
      buckets_[offset >> bucket_shift_].push_back(Pending{offset, t, count});
    }
    c.at = p;
    next_[t] = p < c.size ? c.docs[p] : ~0u;
  }
  // Each bucket's documents' runs, one bucket after another: ends[i] is
  // first where document i's run begins, then where it ends.
  size_t total = 0;
  for (size_t b = 0; b < buckets; ++b) total += buckets_[b].size();
  maps.resize(total);
  std::fill(ends.begin(), ends.begin() + n, 0);
  uint32_t at = 0;
  for (size_t b = 0; b < buckets; ++b) {
    const uint32_t first = static_cast<uint32_t>(b << bucket_shift_);
    const uint32_t last = static_cast<uint32_t>(std::min<uint64_t>(n, uint64_t{b + 1} << bucket_shift_));
    for (const Pending& pair : buckets_[b]) ++ends[pair.offset];
    for (uint32_t i = first; i < last; ++i) at += std::exchange(ends[i], at);
    for (const Pending& pair : buckets_[b]) maps[ends[pair.offset]++] = Posting{pair.token, pair.count};
  }
  chunk.begin = begin;
  chunk.end = end;
  made_ = end;
  return true;
}

ColumnQueue::ColumnQueue(const Index& index, DocumentColumnSizes sizes) : columns_(index, sizes) {
  // Every chunk there can be (taken, ready, being made) has a spare slot:
  // handing one back never allocates.
  spares_.reserve(kAhead + 2);
}

ColumnQueue::~ColumnQueue() = default;

std::unique_ptr<ColumnChunk> ColumnQueue::spare() {
  if (spares_.empty()) return std::make_unique<ColumnChunk>();
  std::unique_ptr<ColumnChunk> chunk = std::move(spares_.back());
  spares_.pop_back();
  return chunk;
}

std::unique_ptr<ColumnChunk> ColumnQueue::make(std::unique_lock<std::mutex>& held) {
  making_ = true;
  std::unique_ptr<ColumnChunk> chunk;
  bool made = false;
  try {
    chunk = spare();
    held.unlock();
    made = columns_.next(*chunk);
  } catch (...) {
    if (!held.owns_lock()) held.lock();
    making_ = false;
    made_all_ = true;  // the columns are half advanced: nothing more can be made
    changed_.notify_all();
    throw;
  }
  held.lock();
  making_ = false;
  if (!made) {
    made_all_ = true;
    spares_.push_back(std::move(chunk));  // cannot fail: its slot was there before
    chunk = nullptr;
  }
  changed_.notify_all();
  return chunk;
}

const ColumnChunk* ColumnQueue::take() {
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    if (!ready_.empty()) {
      taken_ = std::move(ready_.front());
      ready_.pop_front();
      changed_.notify_all();
      return taken_.get();
    }
    if (failure_) std::rethrow_exception(failure_);
    if (made_all_) return nullptr;
    if (!making_) {
      taken_ = make(held);
      return taken_.get();
    }
    changed_.wait(held);
  }
}

void ColumnQueue::give_back(const ColumnChunk* chunk) {
  std::lock_guard<std::mutex> held(lock_);
  if (chunk != taken_.get() || !taken_) return;
  spares_.push_back(std::move(taken_));
}

void ColumnQueue::help() {
  std::unique_lock<std::mutex> held(lock_);
  while (!closed_ && !made_all_) {
    if (making_ || ready_.size() >= kAhead) {
      changed_.wait(held);
      continue;
    }
    try {
      std::unique_ptr<ColumnChunk> chunk = make(held);
      if (chunk) ready_.push_back(std::move(chunk));
    } catch (...) {
      failure_ = std::current_exception();
      return;
    }
  }
}

void ColumnQueue::close() {
  std::lock_guard<std::mutex> held(lock_);
  closed_ = true;
  changed_.notify_all();
}

}  // namespace vantoro
