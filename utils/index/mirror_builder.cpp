#include "index/mirror_builder.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "index/helper_thread.hpp"

namespace vantoro {
namespace {

// Pairs handed over at a time: enough for the misses of many to overlap,
// few enough that what one pass fetched is still cached for the next.
constexpr size_t kBatch = 4096;
// How far ahead a pass asks for what a later pair needs.
constexpr size_t kAhead = 16;
// Batches handed over and not yet built, at most.
constexpr size_t kQueued = 64;
// Bytes of a token's storage: as its list will keep it.
size_t storage_bytes(uint32_t capacity) { return PostingList::storage_bytes(capacity); }

}  // namespace

MirrorDocuments::MirrorDocuments(const DigestKey& key) : key_(key), batch_(std::make_unique<Batch>()) {
  static_assert(sizeof(TokenState) == 64);
  grow_lookup();
}

MirrorDocuments::~MirrorDocuments() {
  for (NameId t = 0; t < tokens_.size(); ++t) free_storage(tokens_[t]);
}

void MirrorDocuments::end() {
  const int32_t length = static_cast<int32_t>(record_length_);
  index_.lengths_.push_back(length);
  index_.lengths_f_.push_back(length_as_float(length));
  index_.total_length_ += static_cast<uint64_t>(static_cast<int64_t>(length));
  record_.end = batch_->entries.size();
  batch_->records.push_back(record_);
  if (batch_->entries.size() >= kBatch) submit();
}

void MirrorDocuments::grow_lookup() {
  const size_t size = lookup_.capacity() == 0 ? 1024 : lookup_.capacity() * 2;
  BigArray<uint64_t> fresh(size);
  std::fill(fresh.data(), fresh.data() + size, uint64_t{0});
  const size_t mask = size - 1;
  for (NameId t = 0; t < token_hashes_.size(); ++t) {
    const uint64_t h = token_hashes_[t];
    size_t i = h & mask;
    while (fresh[i] != 0) i = (i + 1) & mask;
    fresh[i] = (h >> 32) << 32 | (uint64_t{t} + 1);
  }
  lookup_.swap(fresh);
  lookup_mask_ = mask;
}

NameId MirrorDocuments::token_of(Batch& batch, const Entry& e) {
  const uint64_t tag = e.hash >> 32;
  size_t i = e.hash & lookup_mask_;
  for (; lookup_[i] != 0; i = (i + 1) & lookup_mask_) {
    if (lookup_[i] >> 32 == tag) return static_cast<NameId>((lookup_[i] & 0xffffffffu) - 1);
  }
  // A new token: the next id. Its name joins the index's names when the
  // batch is built, on the building thread: an insertion into a table of
  // all the names misses the cache, and this thread is the busier one. A
  // failure here fails the whole load: nothing needs undoing.
  const std::string_view name(batch.names.data() + e.name, e.size);
  const NameId t = static_cast<NameId>(token_hashes_.size());
  token_hashes_.push_back(e.hash);
  batch.new_tokens.push_back(NewToken{key_.name(name), e.name, e.size});
  lookup_[i] = tag << 32 | (uint64_t{t} + 1);
  if (token_hashes_.size() * 2 > lookup_.capacity()) grow_lookup();
  return t;
}

void MirrorDocuments::prepare(Batch& batch) {
  StringTable& documents = index_.doc_names_;
  const size_t records = batch.records.size();
  const auto key_of = [&](const Pending& r) { return std::string_view(batch.names.data() + r.key, r.key_size); };
  key_hashes_.resize(records);
  for (size_t r = 0; r < records; ++r) {
    key_hashes_[r] = documents.hash(key_of(batch.records[r]));
    documents.prefetch(key_hashes_[r]);
  }
  const bool strong = documents.strong();
  for (size_t r = 0; r < records; ++r) {
    // A switch of the table to its strong hash makes the hashes stale.
    const std::string_view key = key_of(batch.records[r]);
    const uint64_t h = documents.strong() == strong ? key_hashes_[r] : documents.hash(key);
    if (!documents.intern(key, h).second) throw MirrorBroken{};  // a repeated key
  }

  // Tokens.
  const size_t n = batch.entries.size();
  batch.pairs.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(&lookup_[batch.entries[i + kAhead].hash & lookup_mask_]);
    const Entry& e = batch.entries[i];
    batch.pairs[i] = Pair{token_of(batch, e), e.count};
  }
  postings_ += n;
}

void MirrorDocuments::submit() {
  if (failed_.load()) {
    std::lock_guard<std::mutex> lock(queue_lock_);
    std::rethrow_exception(failure_);
  }
  prepare(*batch_);
  {
    std::unique_lock<std::mutex> lock(queue_lock_);
    if (helped_.load()) {
      // The helper builds; wait while it is far behind.
      queue_changed_.wait(lock, [&] { return queue_.size() < kQueued || failed_.load(); });
    }
    queue_.push_back(std::move(batch_));
    if (!spare_.empty()) {
      batch_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  queue_changed_.notify_all();
  if (!batch_) batch_ = std::make_unique<Batch>();
  if (!helped_.load()) {
    while (build_next()) {
    }
  }
}

bool MirrorDocuments::build_next() {
  std::lock_guard<std::mutex> building(build_lock_);
  std::unique_ptr<Batch> batch;
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    if (queue_.empty()) return false;
    batch = std::move(queue_.front());
    queue_.pop_front();
  }
  build(*batch);
  batch->clear();
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    spare_.push_back(std::move(batch));
  }
  queue_changed_.notify_all();
  return true;
}

void MirrorDocuments::flush() {
  if (!batch_->records.empty()) submit();
  close();
  // Build what is left, taking turns with a helper; the build lock, once
  // held with nothing queued, means no batch is being built either.
  while (build_next()) {
  }
  std::lock_guard<std::mutex> building(build_lock_);
  if (failed_.load()) std::rethrow_exception(failure_);
}

void MirrorDocuments::close() {
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    closed_ = true;
  }
  queue_changed_.notify_all();
}

void MirrorDocuments::help() {
  helped_.store(true);
  try {
    for (;;) {
      if (build_next()) continue;
      std::unique_lock<std::mutex> lock(queue_lock_);
      queue_changed_.wait(lock, [&] { return !queue_.empty() || closed_; });
      if (queue_.empty()) return;
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(queue_lock_);
      failure_ = std::current_exception();
      failed_.store(true);
    }
    queue_changed_.notify_all();
  }
}

void MirrorDocuments::build(const Batch& batch) {
  // Tokens first seen in this batch get their states (batches are built
  // in the order in which their tokens were given ids).
  if (!batch.new_tokens.empty()) {
    tokens_.reserve_more(batch.new_tokens.size());
    for (const NewToken& token : batch.new_tokens) {
      // Each name is new (its hash was not in lookup_) and takes the id
      // that the reading thread gave it.
      const auto [id, added] = index_.token_names_.intern(std::string_view(batch.names.data() + token.name, token.size));
      if (!added || id != tokens_.size()) throw MirrorBroken{};
      TokenState state{};
      state.digest = token.digest;
      tokens_.push_back_reserved(state);
    }
  }
  const size_t n = batch.pairs.size();
  size_t i = 0;
  for (const Pending& record : batch.records) {
    for (; i < record.end; ++i) {
      if (i + kAhead < n) __builtin_prefetch(&tokens_[batch.pairs[i + kAhead].token]);
      const Pair& e = batch.pairs[i];
      TokenState& state = tokens_[e.token];
      if (state.last_document == record.document + 1) throw MirrorBroken{};  // named twice in one map
      state.last_document = record.document + 1;
      digest_.add(key_.triple(record.digest, state.digest, e.count));
      if (state.held == kHeld) release(state);
      uint8_t short_count = 0;
      if (fits_short_count(e.count)) {
        short_count = static_cast<uint8_t>(e.count);
      } else {
        long_counts_.push_back(LongCount{e.token, state.size + state.held, e.count});
      }
      state.held_documents[state.held] = record.document;
      state.held_counts[state.held] = short_count;
      ++state.held;
    }
  }
  release_all();
}

void MirrorDocuments::make_room(TokenState& state) {
  if (state.size + kHeld <= state.capacity) return;
  // Releases still queued write into the storage about to move.
  release_all();
  grow_storage(state);
}

void MirrorDocuments::grow_storage(TokenState& state) {
  const uint64_t grown = std::max<uint64_t>({16, uint64_t{state.capacity} + state.capacity / 2, uint64_t{state.size} + kHeld});
  const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(grown, std::numeric_limits<uint32_t>::max()));
  if (capacity < uint64_t{state.size} + kHeld) throw std::bad_alloc();
  // A failure leaves the storage as it was; large storage grows by
  // remapping, which moves its pages instead of copying them. The counts
  // then move up to their new offset.
  char* storage = static_cast<char*>(big_reallocate(state.storage, storage_bytes(state.capacity), storage_bytes(capacity)));
  if (state.size != 0) std::memmove(storage + size_t{capacity} * 4, storage + size_t{state.capacity} * 4, state.size);
  state.storage = storage;
  state.capacity = capacity;
}

void MirrorDocuments::release(TokenState& state) {
  make_room(state);
  Release& r = releases_.emplace_back();
  r.documents = state.documents() + state.size;
  r.counts = state.counts() + state.size;
  std::memcpy(r.held_documents, state.held_documents, sizeof r.held_documents);
  std::memcpy(r.held_counts, state.held_counts, sizeof r.held_counts);
  state.size += state.held;
  state.held = 0;
}

void MirrorDocuments::release_all() {
  const size_t n = releases_.size();
  for (size_t q = 0; q < n; ++q) {
    if (q + kAhead < n) {
      __builtin_prefetch(releases_[q + kAhead].documents, 1);
      __builtin_prefetch(releases_[q + kAhead].counts, 1);
    }
    // Whole fixed-size copies: the storage has room for kHeld past their
    // size, and what lies past the postings is never read.
    const Release& r = releases_[q];
    std::memcpy(r.documents, r.held_documents, sizeof r.held_documents);
    std::memcpy(r.counts, r.held_counts, sizeof r.held_counts);
  }
  releases_.clear();
}

void MirrorDocuments::free_storage(TokenState& state) {
  big_free(state.storage, storage_bytes(state.capacity));
  state.storage = nullptr;
  state.capacity = state.size = 0;
}

void MirrorDocuments::build_lists(size_t threads) {
  Index& ix = index_;
  std::sort(long_counts_.begin(), long_counts_.end(), [](const LongCount& a, const LongCount& b) {
    return a.token != b.token ? a.token < b.token : a.position < b.position;
  });
  ix.tokens_.resize(ix.token_names_.size());
  const float average = ix.current_average();
  // Tokens [begin, end): each list takes its token's storage over.
  const auto build_range = [&](NameId begin, NameId end) {
    std::vector<int32_t> counts;
    auto next_long = std::lower_bound(long_counts_.begin(), long_counts_.end(), begin,
                                      [](const LongCount& c, NameId t) { return c.token < t; });
    for (NameId t = begin; t < end; ++t) {
      TokenState& state = tokens_[t];
      PostingList& list = ix.tokens_[t].list;
      if (state.size == 0) {
        const uint32_t n = state.held;
        counts.resize(n);
        for (uint32_t k = 0; k < n; ++k) counts[k] = state.held_counts[k];
        for (; next_long != long_counts_.end() && next_long->token == t; ++next_long) {
          counts[next_long->position] = next_long->count;
        }
        list.assign(state.held_documents, counts.data(), n, ix.lengths_f_.data(), average);
      } else {
        // The held postings join the storage (a token with no storage, no
        // more postings than it holds, makes its list from them above).
        if (state.held != 0) {
          if (state.size + kHeld > state.capacity) grow_storage(state);
          std::memcpy(state.documents() + state.size, state.held_documents, sizeof state.held_documents);
          std::memcpy(state.counts() + state.size, state.held_counts, sizeof state.held_counts);
          state.size += state.held;
        }
        const auto first_long = next_long;
        while (next_long != long_counts_.end() && next_long->token == t) ++next_long;
        std::vector<PostingList::LongCount> long_counts;
        long_counts.reserve(static_cast<size_t>(next_long - first_long));
        for (auto c = first_long; c != next_long; ++c) long_counts.push_back(PostingList::LongCount{c->position, c->count});
        char* const storage = state.storage;
        const uint32_t n = state.size;
        const uint32_t capacity = state.capacity;
        state.storage = nullptr;  // the list's from here on
        state.capacity = state.size = 0;
        list.adopt(storage, n, capacity, std::move(long_counts), ix.lengths_f_.data(), average);
      }
      state.held = 0;
    }
  };
  const NameId tokens = static_cast<NameId>(tokens_.size());
  // Two halves of about as many postings each, the second on a thread of
  // its own where the thread setting allows and one can be started.
  NameId middle = tokens;
  if (threads >= 2) {
    uint64_t total = 0;
    for (NameId t = 0; t < tokens; ++t) total += tokens_[t].size + tokens_[t].held;
    uint64_t seen = 0;
    for (middle = 0; middle < tokens && seen < total / 2; ++middle) seen += tokens_[middle].size + tokens_[middle].held;
  }
  std::thread helper;
  std::exception_ptr failure;
  if (middle < tokens && !start_helper(helper, [&] {
        try {
          build_range(middle, tokens);
        } catch (...) {
          failure = std::current_exception();
        }
      })) {
    middle = tokens;
  }
  try {
    build_range(0, middle);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (failure) std::rethrow_exception(failure);
}

bool MirrorDocuments::finish(MirrorTokens& tokens, Index& out, size_t threads) {
  Index& ix = index_;
  if (postings_ != tokens.postings_ || !(digest_ == tokens.digest_)) return false;
  // Every posting names a present document; the index is regular unless a
  // count is below 1 or a length below 0 (see Index::regular).
  bool regular = std::all_of(long_counts_.begin(), long_counts_.end(), [](const LongCount& c) { return c.count >= 1; });
  for (size_t d = 0; d < ix.lengths_.size() && regular; ++d) regular = ix.lengths_[d] >= 0;
  ix.document_count_ = ix.doc_names_.size();  // the average length of the lists' bounds
  build_lists(threads);
  // Every token named in the documents file must be a key of the token file
  // with as many postings; keys that no document names (their maps are
  // empty) come after them, in file order.
  const uint32_t named = ix.token_names_.size();
  const uint32_t keys = tokens.keys_.size();
  std::vector<NameId> id_of_key(keys);
  uint32_t matched = 0;
  for (NameId k = 0; k < keys; ++k) {
    const std::string_view key = tokens.keys_.name(k);
    // Keys usually come in the order of the tokens' ids (a save writes
    // them so): a comparison of names read in order spares a lookup.
    NameId t = k < named && ix.token_names_.name(k) == key ? k : ix.token_names_.find(key);
    if (t == StringTable::kAbsent) {
      if (tokens.sizes_[k] != 0) return false;
      t = ix.token_names_.intern(key).first;
      ix.tokens_.emplace_back();
    } else {
      if (ix.tokens_[t].list.size() != tokens.sizes_[k]) return false;
      ++matched;
    }
    id_of_key[k] = t;
  }
  if (matched != named) return false;

  for (NameId k = 0; k < keys; ++k) ix.tokens_[id_of_key[k]].present = true;
  for (auto& [k, text] : tokens.texts_) ix.record_texts_.emplace(id_of_key[k], std::move(text));
  ix.token_count_ = keys;
  // The lists' bounds were computed from the final lengths.
  ix.regular_ = regular;
  out = std::move(ix);
  return true;
}

}  // namespace vantoro
