// A load of two files that mirror each other, as every saved index does:
// each document's map in the documents file is exactly that document's
// column of the token lists in the token file. Each file is then read once,
// one after the other:
//
// 1. The documents file gives the documents (their names in file order,
//    lengths and record ids) and the tokens' ids, in order of first
//    appearance. It builds no list.
// 2. The token file gives each token's list as it stands, in document order
//    as a save writes it: each posting's document is found by the hash of
//    its name in a table made from the first file. Lists are written
//    straight into place, with no transposition and no growing storage.
//
// Each file may be read in parts on two threads at once, split at record
// boundaries, one receiver per part (MirrorDocumentsPart, MirrorTokensPart); MirrorLoad
// joins the parts. The two files are shown to hold the same (document,
// token, count) triples by a digest that each side computes from the names
// as written (pair_digest.hpp).
//
// Anything that the mirror reading cannot take exactly (a repeated key, a
// token file whose maps are not in document order or whose keys are not in
// order of first appearance, files that do not mirror each other) throws
// MirrorBroken or makes finish() return false; the load then starts again
// with an IndexBuilder, which takes any pair of files.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/big_alloc.hpp"
#include "index/hash_ids.hpp"
#include "index/index.hpp"
#include "index/pair_digest.hpp"

namespace vantoro {

// The files cannot be read as mirrors of each other: read them exactly.
struct MirrorBroken {};

// Bytes appended a name at a time. Most names are short: those are copied
// by two overlapping moves, without a call.
class NameBytes {
 public:
  size_t size() const { return size_; }
  const char* data() const { return data_.get(); }
  void clear() { size_ = 0; }
  void append(std::string_view name) {
    const size_t n = name.size();
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(n);  // nothing changes if this fails
    char* const d = data_.get() + size_;
    const char* const p = name.data();
    if (n >= 8 && n <= 16) {
      std::memcpy(d, p, 8);
      std::memcpy(d + n - 8, p + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(d, p, 4);
      std::memcpy(d + n - 4, p + n - 4, 4);
    } else {
      std::memcpy(d, p, n);
    }
    size_ += n;
  }

 private:
  // Makes room for `more` bytes after the present ones.
  [[gnu::noinline]] void grow(size_t more);

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Names one after another, by position.
class NameList {
 public:
  uint32_t size() const { return static_cast<uint32_t>(ends_.size()); }
  size_t bytes() const { return bytes_.size(); }
  std::string_view name(uint32_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + begin, ends_[i] - begin);
  }
  void push_back(std::string_view name) {
    // Room first: nothing changes if this fails.
    if (ends_.size() == ends_.capacity()) ends_.reserve(ends_.empty() ? 16 : ends_.size() * 2);
    bytes_.append(name);
    ends_.push_back(bytes_.size());
  }

 private:
  NameBytes bytes_;
  std::vector<uint64_t> ends_;
};

class MirrorLoad;

// One part of the documents file, as json_reader.hpp hands its records
// over (on the thread that reads the part). Parts are read on different
// threads: each takes whole cache lines.
class alignas(64) MirrorDocumentsPart {
 public:
  // `token_ids`: the tokens met by the parts that this part's thread
  // (number `thread`) has read before it (see MirrorLoad::documents_part).
  MirrorDocumentsPart(const DigestKey& key, const StringTable& documents, HashIds& token_ids, size_t thread)
      : key_(key), documents_(documents), token_ids_(token_ids), first_token_(token_ids.size()), thread_(thread) {}

  void begin(std::string_view key) {
    document_digest_ = key_.name(key);
    names_.push_back(key);
    lookup_hashes_.push_back(document_digest_.low);
    table_hashes_.push_back(documents_.hash(key));
    length_ = 0;
  }
  void id(std::string_view text) {
    const uint32_t document = names_.size() - 1;
    if (text != names_.name(document)) record_ids_.emplace_back(document, std::string(text));
  }
  // `token` must stay readable until settle(): the reader calls it before
  // it gives up the text that a name lies in.
  void name(std::string_view token) { named(token, key_.name(token)); }
  // name(), for a name followed by DigestKey::kPadding readable bytes.
  void padded_name(std::string_view token) { named(token, key_.name_padded(token)); }
  void count(int32_t count) {
    digest_.add(key_.triple(document_digest_, token_digest_, count));
    length_ += static_cast<uint32_t>(count);
    ++postings_;
    if (count < 1) regular_ = false;
  }
  void end() { lengths_.push_back(static_cast<int32_t>(length_)); }
  // Finds the tokens of every name read so far (after the part's last
  // record too).
  void settle() {
    while (found_ < waited_) find_next();
  }

 private:
  friend class MirrorLoad;
  static constexpr size_t kAhead = 16;
  static constexpr size_t kWaiting = 2 * kAhead;
  void named(std::string_view token, const Digest& digest) {
    token_digest_ = digest;
    // The token is looked for kAhead names later, once its slot of the
    // table has had time to arrive.
    token_ids_.prefetch(token_digest_.low);
    waiting_[waited_ & (kWaiting - 1)] = Waiting{token_digest_.low, token};
    if (++waited_ - found_ > kAhead) find_next();
  }
  // A name read whose token is not looked for yet.
  struct Waiting {
    uint64_t hash;  // the low half of the name's digest
    std::string_view name;
  };
  // The hash of the t-th token that this part met first.
  uint64_t token_hash(uint32_t t) const { return token_ids_.hash(first_token_ + t); }
  // Looks for the oldest waiting name's token; a new one takes the next id.
  void find_next() {
    const Waiting& w = waiting_[found_++ & (kWaiting - 1)];
    bool added;
    token_ids_.find_or_add(w.hash, added);
    if (added) [[unlikely]] tokens_.push_back(w.name);
  }

  const DigestKey& key_;
  const StringTable& documents_;
  HashIds& token_ids_;          // shared with the thread's other parts
  const uint32_t first_token_;  // the id of this part's first new token there
  const size_t thread_;
  NameList names_;                      // the documents' keys, in file order
  std::vector<uint64_t> lookup_hashes_;  // per document: the low half of its name's digest
  std::vector<uint64_t> table_hashes_;   // per document: its hash in `documents_`
  std::vector<int32_t> lengths_;
  std::vector<std::pair<uint32_t, std::string>> record_ids_;  // where a record's id differs from its key
  NameList tokens_;  // met first in this part, in order of first appearance
  Waiting waiting_[kWaiting];
  size_t waited_ = 0;  // names read
  size_t found_ = 0;   // names whose tokens are found
  Digest digest_;
  uint64_t postings_ = 0;
  bool regular_ = true;  // no count below 1

  Digest document_digest_;  // of the record being read
  Digest token_digest_;     // of the name just read
  uint32_t length_ = 0;
};

// One part of the token file, as json_reader.hpp hands its records over.
// Writes each named token's list into the index as its record ends.
class alignas(64) MirrorTokensPart {
 public:
  MirrorTokensPart(const DigestKey& key, MirrorLoad& load) : key_(key), load_(load) {}

  void begin(std::string_view key);
  void id(std::string_view text) {
    if (text != current_key_) texts_.emplace_back(current_ref(), std::string(text));
  }
  void name(std::string_view document) { named(key_.name(document)); }
  void padded_name(std::string_view document) { named(key_.name_padded(document)); }
  void count(int32_t count) {
    digest_.add(key_.triple(document_digest_, token_digest_, count));
    Record& r = records_[current_];
    r.counts.push_back(count);
    if (++r.read - r.found >= 2 * kAhead) find_documents(r, kAhead);
  }
  // A record's list is made when the next record ends, so that the table
  // reads of its last postings have arrived by then.
  void end();
  // After the part's last record: makes its list.
  void flush();

 private:
  friend class MirrorLoad;
  static constexpr size_t kAhead = 32;
  static constexpr size_t kPending = 2 * kAhead;
  // A posting's document, by the digest of its name: looked for later.
  void named(const Digest& digest) {
    document_digest_ = digest;
    Record& r = records_[current_];
    r.pending[r.read & (kPending - 1)] = document_digest_.low;
    prefetch(document_digest_.low);
  }
  // A record's token, or a key that no document names: kUnnamed | its
  // position in unnamed_.
  static constexpr uint32_t kUnnamed = 0x80000000u;
  uint32_t current_ref() const {
    const uint32_t token = records_[current_].token;
    return token == StringTable::kAbsent ? kUnnamed | (unnamed_.size() - 1) : token;
  }
  void prefetch(uint64_t h) const;
  // A record read: its token and its postings on their way to its list.
  struct Record {
    uint32_t token = 0;
    // The hashes of the postings whose documents are not found yet, by
    // position in the record: at most 2 * kAhead - 1 at a time.
    uint64_t pending[kPending];
    size_t read = 0;   // postings read
    size_t found = 0;  // postings whose documents are found
    std::vector<uint32_t> documents;
    std::vector<int32_t> counts;
  };
  // Finds the pending postings' documents, all but the newest `keep`
  // (whose table reads may still be on their way).
  void find_documents(Record& r, size_t keep);
  // Finds the rest of the record's documents and makes its list.
  void make_list(Record& r);

  const DigestKey& key_;
  MirrorLoad& load_;
  Digest digest_;
  uint64_t postings_ = 0;
  uint32_t first_token_ = StringTable::kAbsent;  // the named tokens, in file order
  uint32_t last_token_ = StringTable::kAbsent;
  uint32_t named_ = 0;
  NameList unnamed_;  // keys that no document names, in file order
  std::vector<std::pair<uint32_t, std::string>> texts_;  // where a record's text differs from its key

  // The record being read, and the one before it, whose list is not made
  // yet where `holding_`.
  Record records_[2];
  size_t current_ = 0;
  bool holding_ = false;
  std::string current_key_;
  Digest token_digest_;
  Digest document_digest_;  // of the name just read
};

// The parts' results joined into one index.
class MirrorLoad {
 public:
  // With `threads` of 2 or more, the end of the load runs on two threads.
  MirrorLoad(const DigestKey& key, size_t threads);
  ~MirrorLoad();
  MirrorLoad(const MirrorLoad&) = delete;
  MirrorLoad& operator=(const MirrorLoad&) = delete;

  // The documents file in `parts` parts, each read by one receiver, on
  // `threads` threads that take parts in file order.
  void start_documents(size_t parts, size_t threads);
  // The receiver of a part, made when `thread` starts reading it. It takes
  // the table of the tokens that the thread's earlier parts met, so that
  // each token is found new once per thread, not once per part.
  MirrorDocumentsPart& documents_part(size_t part, size_t thread);
  // After the documents file: its parts joined (throws MirrorBroken).
  void join_documents();
  // Then the token file in `parts` parts.
  void start_tokens(size_t parts);
  MirrorTokensPart& tokens_part(size_t part) { return *tokens_[part]; }
  // After both files: the index, or false when the files do not mirror
  // each other.
  bool finish(Index& out);

 private:
  friend class MirrorTokensPart;
  // A token that a part of the documents file names first, with its hash
  // in the table of token names.
  struct FreshName {
    std::string_view name;
    uint64_t hash;
  };
  // Some of the tokens that a documents part met first (positions [begin,
  // end) of its list of them), with the count of tokens that each thread
  // met in the parts before it.
  struct FreshPiece {
    const MirrorDocumentsPart* part;
    uint32_t begin;
    uint32_t end;
    std::vector<uint32_t> met_before;  // by thread
  };
  std::vector<FreshPiece> fresh_pieces() const;
  // Appends the piece's tokens that the part names first, in order: those
  // that no part before it met.
  void find_fresh(const FreshPiece& piece, std::vector<FreshName>& fresh) const;
  // Names them, piece after piece.
  void name_tokens(const std::vector<std::vector<FreshName>>& fresh);
  // Makes token t's list from its postings, on a part's thread: each token
  // is claimed once, so two parts never write one list.
  void put_list(uint32_t t, const uint32_t* documents, const int32_t* counts, uint32_t n);

  const DigestKey& key_;
  const size_t threads_;
  Index index_;
  std::vector<std::unique_ptr<MirrorDocumentsPart>> documents_;  // in file order
  std::vector<std::unique_ptr<MirrorTokensPart>> tokens_;
  HashIds document_ids_;  // by the low half of the name's digest
  std::vector<HashIds> thread_tokens_;  // per thread of the documents file
  std::unique_ptr<std::atomic<bool>[]> claimed_;  // per named token
  uint32_t named_ = 0;  // tokens that the documents file names
  float average_ = 0;
  Digest digest_;
  uint64_t postings_ = 0;
  bool regular_ = true;
};

inline void MirrorTokensPart::prefetch(uint64_t h) const { load_.document_ids_.prefetch(h); }

}  // namespace vantoro
