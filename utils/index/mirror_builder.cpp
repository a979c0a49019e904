#include "index/mirror_builder.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <thread>

#include "index/helper_thread.hpp"
#include "index/weight_bound.hpp"

namespace vantoro {
namespace {

// How far ahead a pass asks for the table slot that a later item needs.
constexpr size_t kAhead = 16;

// Runs first() here and second() on a helper thread where `two_threads`
// and one can be started, else one after the other; then rethrows what
// either threw.
template <class First, class Second>
void run_both(bool two_threads, First&& first, Second&& second) {
  std::exception_ptr failures[2];
  run_pair(
      two_threads,
      [&] {
        try {
          first();
        } catch (...) {
          failures[0] = std::current_exception();
        }
      },
      [&] {
        try {
          second();
        } catch (...) {
          failures[1] = std::current_exception();
        }
      });
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace

void NameBytes::grow(size_t more) {
  if (more > std::numeric_limits<size_t>::max() / 2 - size_) throw std::bad_alloc();
  const size_t capacity = std::max({capacity_ * 2, size_ + more, size_t{256}});
  std::unique_ptr<char[]> fresh(new char[capacity]);
  if (size_ != 0) std::memcpy(fresh.get(), data_.get(), size_);
  data_ = std::move(fresh);
  capacity_ = capacity;
}

void MirrorTokensPart::begin(std::string_view key) {
  current_key_.assign(key);
  token_digest_ = key_.name(key);
  // A saved token file names the tokens in the order of their ids: the
  // token after the last one is tried first, which costs no hashing.
  const StringTable& names = load_.index_.token_names_;
  const uint32_t next = last_token_ + 1;  // 0 before any (kAbsent + 1)
  Record& r = records_[current_];
  const uint32_t token = next < names.size() && names.name(next) == key ? next : names.find(key);
  r.token = token;
  if (token == StringTable::kAbsent) {
    unnamed_.push_back(key);
  } else {
    // Named keys come in the order of their tokens' ids (each once).
    if (last_token_ != StringTable::kAbsent && token <= last_token_) throw MirrorBroken{};
    if (first_token_ == StringTable::kAbsent) first_token_ = token;
    last_token_ = token;
    ++named_;
  }
  r.read = 0;
  r.found = 0;
  r.documents.clear();
  r.counts.clear();
}

void MirrorTokensPart::find_documents(Record& r, size_t keep) {
  const HashIds& ids = load_.document_ids_;
  const size_t begin = r.found;
  const size_t end = r.read - keep;
  r.documents.resize(end);
  uint32_t* const out = r.documents.data();
  // Each map lists known documents in the order of their ids.
  int64_t last = begin == 0 ? -1 : int64_t{out[begin - 1]};
  for (size_t i = begin; i < end; ++i) {
    const uint32_t d = ids.find(r.pending[i & (kPending - 1)]);
    if (d == HashIds::kNone || int64_t{d} <= last) throw MirrorBroken{};
    out[i] = d;
    last = d;
  }
  r.found = end;
}

void MirrorTokensPart::end() {
  if (holding_) make_list(records_[current_ ^ 1]);
  holding_ = true;
  current_ ^= 1;
}

void MirrorTokensPart::flush() {
  if (holding_) make_list(records_[current_ ^ 1]);
  holding_ = false;
  // The part is done: its buffers, as long as its longest record, are
  // not kept until the load ends.
  for (Record& r : records_) {
    std::vector<uint32_t>().swap(r.documents);
    std::vector<int32_t>().swap(r.counts);
  }
}

void MirrorTokensPart::make_list(Record& r) {
  find_documents(r, 0);
  const uint32_t n = static_cast<uint32_t>(r.documents.size());
  postings_ += n;
  if (r.token == StringTable::kAbsent) {
    // A token that no document names has no postings.
    if (n != 0) throw MirrorBroken{};
    return;
  }
  load_.put_list(r.token, r.documents.data(), r.counts.data(), n);
}

MirrorLoad::MirrorLoad(const DigestKey& key, size_t threads) : key_(key), threads_(threads) {}

void MirrorLoad::start_documents(size_t parts, size_t threads) {
  documents_.resize(parts);
  thread_tokens_.resize(threads);
}

MirrorDocumentsPart& MirrorLoad::documents_part(size_t part, size_t thread) {
  // A token that a part leaves out because the thread met it in an earlier
  // part is named by that part already when the join reaches this one: the
  // join still names each token at its first appearance in the file.
  documents_[part] = std::make_unique<MirrorDocumentsPart>(key_, index_.doc_names_, thread_tokens_[thread], thread);
  return *documents_[part];
}

void MirrorLoad::start_tokens(size_t parts) {
  tokens_.resize(parts);
  for (auto& part : tokens_) part = std::make_unique<MirrorTokensPart>(key_, *this);
}

MirrorLoad::~MirrorLoad() = default;

void MirrorLoad::join_documents() {
  Index& ix = index_;
  size_t documents = 0, bytes = 0;
  for (const auto& part : documents_) {
    documents += part->names_.size();
    bytes += part->names_.bytes();
  }
  if (documents >= StringTable::kAbsent) throw MirrorBroken{};
  // The documents' names on one thread, the longest task of the join; the
  // table of their hashes, their lengths and the tokens' names on the
  // other. Each thread makes its own tables' room: first touches of new
  // memory are slow on some machines.
  const auto names = [&] {
    ix.doc_names_.reserve(documents, bytes);
    for (const auto& part : documents_) {
      const MirrorDocumentsPart& p = *part;
      const uint32_t n = p.names_.size();
      const bool strong = ix.doc_names_.strong();
      for (uint32_t k = 0; k < n; ++k) {
        if (k + kAhead < n) ix.doc_names_.prefetch(p.table_hashes_[k + kAhead]);
        const std::string_view name = p.names_.name(k);
        // A switch of the table to its strong hash makes the hashes stale.
        const uint64_t h = ix.doc_names_.strong() == strong ? p.table_hashes_[k] : ix.doc_names_.hash(name);
        if (!ix.doc_names_.intern(name, h).second) throw MirrorBroken{};  // a repeated key
      }
    }
  };
  const auto lengths = [&] {
    ix.lengths_.reserve_more(documents);
    ix.lengths_f_.reserve_more(documents);
    uint32_t first = 0;
    for (const auto& part : documents_) {
      const MirrorDocumentsPart& p = *part;
      const uint32_t n = p.names_.size();
      for (uint32_t k = 0; k < n; ++k) {
        const int32_t length = p.lengths_[k];
        ix.lengths_.push_back_reserved(length);
        ix.lengths_f_.push_back_reserved(length_as_float(length));
        ix.total_length_ += static_cast<uint64_t>(static_cast<int64_t>(length));
        regular_ = regular_ && length >= 0;
      }
      for (const auto& [d, text] : p.record_ids_) ix.record_ids_.emplace(first + d, text);
      regular_ = regular_ && p.regular_;
      first += n;
    }
  };
  const auto document_table = [&] {
    document_ids_.reserve(documents);
    for (const auto& part : documents_) {
      const MirrorDocumentsPart& p = *part;
      const uint32_t n = p.names_.size();
      for (uint32_t k = 0; k < n; ++k) {
        if (k + kAhead < n) document_ids_.prefetch(p.lookup_hashes_[k + kAhead]);
        // Two documents that the table could take for each other.
        bool added;
        document_ids_.find_or_add(p.lookup_hashes_[k], added);
        if (!added) throw MirrorBroken{};
      }
      digest_.add(p.digest_);
      postings_ += p.postings_;
    }
  };
  // The tokens that each part names first are found in pieces that both
  // threads take in turn, one after naming the documents, the other after
  // making the table of their hashes and their lengths. Then the latter
  // names the tokens in order while the former makes their slots.
  const std::vector<FreshPiece> pieces = fresh_pieces();
  std::vector<std::vector<FreshName>> fresh(pieces.size());
  std::atomic<size_t> next{0};
  std::atomic<size_t> found{0};
  const auto find = [&] {
    for (size_t k; (k = next.fetch_add(1)) < pieces.size();) {
      find_fresh(pieces[k], fresh[k]);
      found.fetch_add(1, std::memory_order_release);
    }
  };
  // Each thread tells when it ends, however it ends, so that the other
  // never waits for pieces that it will not find.
  struct SetOnExit {
    std::atomic<bool>& flag;
    ~SetOnExit() { flag.store(true, std::memory_order_release); }
  };
  std::atomic<bool> first_ended{false}, second_ended{false};
  // Waits until every piece is found: false where the other thread ended
  // first without finding its own (its failure is rethrown).
  const auto all_found = [&](const std::atomic<bool>& other_ended) {
    while (found.load(std::memory_order_acquire) < pieces.size()) {
      if (other_ended.load(std::memory_order_acquire) && found.load(std::memory_order_acquire) < pieces.size()) {
        return false;
      }
      std::this_thread::yield();
    }
    return true;
  };
  run_both(
      threads_ >= 2,
      [&] {
        const SetOnExit ended{first_ended};
        names();
        find();
        if (!all_found(second_ended)) return;
        size_t count = 0;
        for (const std::vector<FreshName>& piece : fresh) count += piece.size();
        ix.tokens_.resize(count);
        claimed_ = std::make_unique<std::atomic<bool>[]>(count);
        named_ = static_cast<uint32_t>(count);
      },
      [&] {
        const SetOnExit ended{second_ended};
        document_table();
        lengths();
        // Room for as many token names as the thread that met the most
        // tokens met: at most one more growth when they are named. (The
        // finding only reads the table's hash key meanwhile.)
        size_t fewest = 0;
        for (const HashIds& met : thread_tokens_) fewest = std::max<size_t>(fewest, met.size());
        ix.token_names_.reserve(fewest, 0);
        find();
        if (all_found(first_ended)) name_tokens(fresh);
      });
  // Every fresh name is new to the table; one that is not (two parts took
  // the same token for new) leaves fewer names than slots.
  if (ix.token_names_.size() != named_) throw MirrorBroken{};
  ix.document_count_ = ix.doc_names_.size();
  average_ = ix.current_average();
  documents_.clear();
  thread_tokens_.clear();
}

std::vector<MirrorLoad::FreshPiece> MirrorLoad::fresh_pieces() const {
  constexpr uint32_t kPieceTokens = uint32_t{1} << 15;
  std::vector<FreshPiece> pieces;
  // met[k]: the tokens that thread k met in the parts so far, which are the
  // first ids of its table, as each thread reads its parts in file order.
  std::vector<uint32_t> met(thread_tokens_.size(), 0);
  for (const auto& part : documents_) {
    const MirrorDocumentsPart& p = *part;
    const uint32_t n = p.tokens_.size();
    for (uint32_t t = 0; t < n; t += kPieceTokens) pieces.push_back(FreshPiece{&p, t, std::min(n, t + kPieceTokens), met});
    met[p.thread_] = p.first_token_ + n;
  }
  return pieces;
}

void MirrorLoad::find_fresh(const FreshPiece& piece, std::vector<FreshName>& fresh) const {
  const StringTable& names = index_.token_names_;
  const MirrorDocumentsPart& p = *piece.part;
  for (uint32_t t = piece.begin; t < piece.end; ++t) {
    const uint64_t h = p.token_hash(t);
    // A token that another thread met in an earlier part is named there.
    // (A new token taken for a known one is missing from the names; its
    // key in the token file then sends the load the exact way.)
    bool named = false;
    for (size_t k = 0; k < thread_tokens_.size() && !named; ++k) {
      if (k == p.thread_) continue;
      if (t + kAhead < piece.end) thread_tokens_[k].prefetch(p.token_hash(t + kAhead));
      const uint32_t id = thread_tokens_[k].find(h);
      named = id != HashIds::kNone && id < piece.met_before[k];
    }
    if (named) continue;
    const std::string_view name = p.tokens_.name(t);
    fresh.push_back(FreshName{name, names.hash(name)});
  }
}

void MirrorLoad::name_tokens(const std::vector<std::vector<FreshName>>& fresh) {
  StringTable& names = index_.token_names_;
  size_t count = 0, bytes = 0;
  for (const std::vector<FreshName>& piece : fresh) {
    count += piece.size();
    for (const FreshName& f : piece) bytes += f.name.size();
  }
  names.reserve(count, bytes);
  const bool strong = names.strong();
  for (const std::vector<FreshName>& piece : fresh) {
    for (size_t k = 0; k < piece.size(); ++k) {
      if (k + kAhead < piece.size()) names.prefetch(piece[k + kAhead].hash);
      // A switch of the table to its strong hash makes the hashes stale.
      const uint64_t h = names.strong() == strong ? piece[k].hash : names.hash(piece[k].name);
      names.intern(piece[k].name, h);
    }
  }
}

void MirrorLoad::put_list(uint32_t t, const uint32_t* documents, const int32_t* counts, uint32_t n) {
  if (claimed_[t].exchange(true)) throw MirrorBroken{};  // a repeated key
  // No bounds yet (an average of NaN gives none): finish() computes them
  // all at once, when the documents' lengths are the only table in use.
  index_.tokens_[t].list.assign(documents, counts, n, index_.lengths_f_.data(), std::numeric_limits<float>::quiet_NaN());
}

bool MirrorLoad::finish(Index& out) {
  Index& ix = index_;
  Digest digest;
  uint64_t postings = 0;
  uint32_t named = 0;
  uint32_t last = StringTable::kAbsent;
  for (const auto& part : tokens_) {
    const MirrorTokensPart& p = *part;
    digest.add(p.digest_);
    postings += p.postings_;
    named += p.named_;
    // The named keys of each part follow those of the parts before it.
    if (p.first_token_ != StringTable::kAbsent) {
      if (last != StringTable::kAbsent && p.first_token_ <= last) return false;
      last = p.last_token_;
    }
  }
  if (postings != postings_ || !(digest == digest_) || named != named_) return false;

  // Keys that no document names come after the named tokens, in file order.
  std::vector<uint32_t> unnamed_ids;
  for (const auto& part : tokens_) {
    for (uint32_t k = 0; k < part->unnamed_.size(); ++k) {
      const auto [t, added] = ix.token_names_.intern(part->unnamed_.name(k));
      if (!added) return false;  // a repeated key
      ix.tokens_.emplace_back();
      unnamed_ids.push_back(t);
    }
  }
  for (auto& slot : ix.tokens_) slot.present = true;
  // The lists' bounds, in two halves of the postings on two threads.
  const size_t named_tokens = named_;
  uint64_t total = 0;
  for (size_t t = 0; t < named_tokens; ++t) total += ix.tokens_[t].list.size();
  size_t middle = 0;
  for (uint64_t seen = 0; middle < named_tokens && seen < total / 2; ++middle) seen += ix.tokens_[middle].list.size();
  // With every count at least 1 and every length at least 0, each
  // document's part of the saturation is computed once, not per posting.
  const bool by_bases = regular_ && average_ > 0.0f && std::isfinite(average_);
  BigArray<float> bases(by_bases ? ix.doc_names_.size() : 0);
  for (size_t d = 0; d < bases.capacity(); ++d) bases[d] = saturation_base(Index::kK1, Index::kB, ix.lengths_f_[d], average_);
  const auto bound = [&](size_t begin, size_t end) {
    for (size_t t = begin; t < end; ++t) {
      PostingList& list = ix.tokens_[t].list;
      if (by_bases) {
        list.rebuild_bounds_from_bases(bases.data(), average_);
      } else {
        list.rebuild_bounds(ix.lengths_f_.data(), average_);
      }
    }
  };
  run_both(threads_ >= 2, [&] { bound(0, middle); }, [&] { bound(middle, named_tokens); });
  size_t unnamed_before = 0;
  for (auto& part : tokens_) {
    for (auto& [ref, text] : part->texts_) {
      const uint32_t t = ref & MirrorTokensPart::kUnnamed ? unnamed_ids[unnamed_before + (ref & ~MirrorTokensPart::kUnnamed)] : ref;
      ix.record_texts_.emplace(t, std::move(text));
    }
    unnamed_before += part->unnamed_.size();
  }
  ix.token_count_ = ix.token_names_.size();
  ix.regular_ = regular_;
  out = std::move(ix);
  return true;
}

}  // namespace vantoro
