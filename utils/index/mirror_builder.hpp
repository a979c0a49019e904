// A load of two files that mirror each other, as every saved index does:
// each document's map in the documents file is exactly that document's
// column of the token lists in the token file. Then the documents file alone
// gives the whole index, and the token file only has to be shown to agree.
//
// MirrorDocuments reads the documents file and builds the index from it:
// documents in file order, tokens in order of first appearance, and each
// token's list by appending the documents that count it, so that every list
// comes out in document order with no sort and no lookup of a document by
// name. The reading thread interns the documents' names of a batch of
// records, finds the tokens of its pairs (a new name gets the next id) and
// hands the batch over; batches are built into the tokens' lists, and new
// tokens' names into the index, one at a time, in order, by the reading
// thread or by a helper. MirrorTokens reads the token file at the same
// time, on another thread (which then helps), and keeps only its keys,
// record texts, the number of postings per token and the digest of its
// (document, token, count) triples (pair_digest.hpp). finish() compares the
// two; the ids of names are those an IndexBuilder would give.
//
// Anything that the mirror reading cannot represent exactly (a repeated key
// of the documents file, a name repeated within a document's map) throws
// MirrorBroken; files that turn out not to mirror each other (a repeated key
// of the token file among them) make finish() return false. Either way
// the load starts again with an IndexBuilder, which takes any pair of files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/index.hpp"
#include "index/pair_digest.hpp"

namespace vantoro {

// The files cannot be read as mirrors of each other: read them exactly.
struct MirrorBroken {};

class MirrorTokens;

class MirrorDocuments {
 public:
  explicit MirrorDocuments(const DigestKey& key);
  ~MirrorDocuments();
  MirrorDocuments(const MirrorDocuments&) = delete;
  MirrorDocuments& operator=(const MirrorDocuments&) = delete;

  // One record of the documents file, as json_reader.hpp hands it over (on
  // the thread that reads the file).
  void begin(std::string_view key) {
    // Documents take ids in file order; the name is interned with the
    // others of its batch (a repeated key then breaks the mirror).
    Batch& b = *batch_;
    record_ = Pending{document_count_++, 0, key_.name(key), static_cast<uint32_t>(b.names.size()),
                      static_cast<uint32_t>(key.size())};
    b.names.append(key);
    record_length_ = 0;
  }
  void id(std::string_view text) {
    if (text != std::string_view(batch_->names.data() + record_.key, record_.key_size)) {
      index_.record_ids_.emplace(record_.document, std::string(text));
    }
  }
  void name(std::string_view token) {
    Batch& b = *batch_;
    b.entries.push_back(Entry{key_.name_low(token), static_cast<uint32_t>(b.names.size()),
                              static_cast<uint32_t>(token.size()), 0});
    b.names.append(token);
  }
  void count(int32_t count) {
    batch_->entries.back().count = count;
    record_length_ += static_cast<uint32_t>(count);
  }
  void end();
  // After the whole file: builds everything still pending.
  void flush();
  // No more records will come (the reading ended or failed): a helper
  // returns once the pending batches are built.
  void close();

  // Builds batches that the reading thread hands over, until it is done:
  // for another thread that has finished its own work. The postings of a
  // batch are built on one thread at a time, batch after batch, in order.
  void help();

  // After both files: the index, or false when the files do not mirror
  // each other. Call once, after flush(). With `threads` of 2 or more, the
  // lists are made on two threads.
  bool finish(MirrorTokens& tokens, Index& out, size_t threads);

 private:
  // A (name, count) pair of a record as read.
  struct Entry {
    uint64_t hash;  // the low half of the name's digest
    uint32_t name;  // offset in the batch's names
    uint32_t size;
    int32_t count;
  };
  // The same pair with its token found: all that the build reads, kept
  // apart and compact because the build runs on another thread, whose
  // cache must fetch it.
  struct Pair {
    NameId token;
    int32_t count;
  };
  // A record whose pairs are not yet built: its batch's entries up to `end`.
  struct Pending {
    NameId document;
    size_t end;
    Digest digest;  // of the document's name
    uint32_t key;   // its name: offset in the batch's names
    uint32_t key_size;
  };
  // A token first named in a batch: its name (offset in the batch's
  // names) and the digest of the name.
  struct NewToken {
    Digest digest;
    uint32_t name;
    uint32_t size;
  };
  // Records read and not yet built.
  struct Batch {
    std::vector<Pending> records;
    std::vector<Entry> entries;
    std::vector<Pair> pairs;  // made from the entries when the batch is handed over
    std::string names;
    std::vector<NewToken> new_tokens;  // the tokens first named here, by id
    void clear() {
      records.clear();
      entries.clear();
      pairs.clear();
      names.clear();
      new_tokens.clear();
    }
  };

  // What the build keeps per token, in one cache line: the digest of its
  // name, the last document that counted it, its postings so far (in
  // storage laid out as its list will keep them, which the list then takes
  // over: documents, then one byte per count, 0 for a count kept aside)
  // and its newest postings, which go to the storage a few at a time: the
  // storage of rare tokens lies scattered over all the postings' memory,
  // and this touches it once per few postings.
  static constexpr uint32_t kHeld = 4;
  struct alignas(64) TokenState {
    Digest digest;
    uint32_t last_document = 0;  // + 1
    uint32_t size = 0;           // in the storage
    uint32_t capacity = 0;
    uint32_t held = 0;
    char* storage = nullptr;  // big_allocate: documents[capacity], then counts[capacity]
    uint32_t* documents() const { return reinterpret_cast<uint32_t*>(storage); }
    uint8_t* counts() const { return reinterpret_cast<uint8_t*>(storage + size_t{capacity} * 4); }
    uint32_t held_documents[kHeld];
    uint8_t held_counts[kHeld];
  };
  // Held postings on their way to the end of a token's storage.
  struct Release {
    uint32_t* documents;
    uint8_t* counts;
    uint32_t held_documents[kHeld];
    uint8_t held_counts[kHeld];
  };
  // A count outside 1 to 255.
  struct LongCount {
    NameId token;
    uint32_t position;
    int32_t count;
  };

  // On the reading thread: interns a full batch's documents and finds its
  // tokens, in passes, so that the table reads of many names are requested
  // before any is needed and their misses overlap; then hands the batch
  // over.
  void prepare(Batch& batch);
  void submit();
  // The token of a name: found by its hash alone (see lookup_), or the
  // next id, whose name the index takes when the batch is built.
  NameId token_of(Batch& batch, const Entry& e);
  void grow_lookup();

  // On one thread at a time: builds the oldest handed-over batch; false
  // when there is none.
  bool build_next();
  // Puts a batch's postings into the tokens' states and storage.
  void build(const Batch& batch);
  // Moves a token's held postings to the release queue.
  void release(TokenState& state);
  // Writes the queued releases.
  void release_all();
  // Makes room in a token's storage for its held postings.
  void make_room(TokenState& state);
  // The same once no release is queued: grows the storage.
  void grow_storage(TokenState& state);
  void free_storage(TokenState& state);
  // The lists, from the tokens' storage, which they take over.
  void build_lists(size_t threads);

  const DigestKey& key_;
  Index index_;

  // Owned by the reading thread.
  std::unique_ptr<Batch> batch_;
  std::vector<uint64_t> token_hashes_;  // per token id: the low half of its name's digest
  // Token ids by name hash: (high half of the hash) << 32 | (id + 1), open
  // addressing from the low bits. Names are not compared: a name whose hash
  // equals another's would go to the other's token and never be interned,
  // so that finish() finds the token file's key for it missing (and the
  // other token with too many postings) and the load goes the exact way.
  BigArray<uint64_t> lookup_;
  size_t lookup_mask_ = 0;
  std::vector<uint64_t> key_hashes_;
  uint64_t postings_ = 0;
  uint32_t document_count_ = 0;
  Pending record_{};  // the record being read
  uint32_t record_length_ = 0;

  // Owned by whichever thread builds: on cache lines of their own, apart
  // from the reading thread's fields, which change with every pair read.
  alignas(64) BigVector<TokenState> tokens_;  // per token id
  Digest digest_;
  std::vector<Release> releases_;
  std::vector<LongCount> long_counts_;

  // Handing batches over.
  alignas(64) std::mutex queue_lock_;
  std::condition_variable queue_changed_;
  std::deque<std::unique_ptr<Batch>> queue_;   // handed over, oldest first
  std::vector<std::unique_ptr<Batch>> spare_;  // built, for reuse
  bool closed_ = false;
  std::exception_ptr failure_;      // of a build on the helping thread
  std::atomic<bool> helped_{false};
  std::atomic<bool> failed_{false};
  std::mutex build_lock_;  // held while a batch is taken and built
};

// Names one after another, by position.
class NameList {
 public:
  uint32_t size() const { return static_cast<uint32_t>(ends_.size()); }
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
  std::string bytes_;
  std::vector<uint64_t> ends_;
};

// Aligned to cache lines: it is read on one thread while the reading
// thread of the documents file changes the fields of objects beside it.
class alignas(64) MirrorTokens {
 public:
  explicit MirrorTokens(const DigestKey& key) : key_(key) {}

  // One record of the token file, as json_reader.hpp hands it over.
  void begin(std::string_view key) {
    // A repeated key is not looked for here: finish() finds such a file
    // not to mirror the documents file (the repeated key's postings are
    // either counted twice or missing from one of its records).
    token_ = keys_.size();
    keys_.push_back(key);
    token_digest_ = key_.name(key);
    sizes_.push_back(0);
  }
  void id(std::string_view text) { record_text_.assign(text); }
  void name(std::string_view document) { document_digest_ = key_.name(document); }
  void count(int32_t count) {
    digest_.add(key_.triple(document_digest_, token_digest_, count));
    ++sizes_.back();
  }
  void end() {
    if (record_text_ != keys_.name(token_)) texts_.emplace_back(token_, record_text_);
    postings_ += sizes_.back();
  }

 private:
  friend class MirrorDocuments;

  const DigestKey& key_;
  NameList keys_;                   // in file order
  std::vector<uint32_t> sizes_;     // per key: its map's members
  std::vector<std::pair<NameId, std::string>> texts_;  // where a record's text differs from its key
  Digest digest_;
  uint64_t postings_ = 0;

  NameId token_ = 0;  // the record being read
  Digest token_digest_;
  std::string record_text_;
  Digest document_digest_;  // of the name just read
};

}  // namespace vantoro
