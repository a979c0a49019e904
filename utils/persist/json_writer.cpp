#include "persist/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "index/document_maps.hpp"

namespace vantoro::persist {
namespace {

// For each byte: 0 when it is copied as is, else the letter of its short
// escape, or 'u' for the \u00XX form.
struct EscapeTable {
  char letter[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) letter[c] = 'u';
    letter[0x08] = 'b';
    letter[0x09] = 't';
    letter[0x0a] = 'n';
    letter[0x0c] = 'f';
    letter[0x0d] = 'r';
    letter[static_cast<unsigned char>('"')] = '"';
    letter[static_cast<unsigned char>('\\')] = '\\';
  }
};
constexpr EscapeTable kEscape;

// "00" to "99".
struct DigitPairs {
  char pair[200] = {};
  constexpr DigitPairs() {
    for (int i = 0; i < 100; ++i) {
      pair[2 * i] = static_cast<char>('0' + i / 10);
      pair[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigits;

// The escaping path of put_string: `o` is just after the opening quote.
char* put_escaped(char* o, const unsigned char* p, const unsigned char* end) {
  static constexpr char kHex[] = "0123456789abcdef";
  while (p < end) {
    const unsigned char* run = p;
    while (p < end && kEscape.letter[*p] == 0) ++p;
    std::memcpy(o, run, static_cast<size_t>(p - run));
    o += p - run;
    if (p == end) break;
    const unsigned char c = *p++;
    const char letter = kEscape.letter[c];
    *o++ = '\\';
    *o++ = letter;
    if (letter == 'u') {
      *o++ = '0';
      *o++ = '0';
      *o++ = kHex[c >> 4];
      *o++ = kHex[c & 0xf];
    }
  }
  *o++ = '"';
  return o;
}

// Whether any of the 8 bytes of `w` is a quotation mark, a backslash or a
// control byte (the terms flag the lowest such byte exactly, and others only
// above one, so the test of "any" is exact).
inline bool any_escaped(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t slash = w ^ (kOnes * '\\');
  return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash)) & (kOnes * 0x80);
}

inline bool needs_escape(const char* p, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (any_escaped(w)) return true;
    }
    uint64_t w;
    std::memcpy(&w, p + n - 8, 8);
    return any_escaped(w);
  }
  if (n == 0) return false;  // an empty view may have no data at all
  uint64_t w = 0x6161616161616161ULL;  // padding with plain letters
  std::memcpy(&w, p, n);
  return any_escaped(w);
}

inline char* put_string(char* o, std::string_view text) {
  *o++ = '"';
  const size_t n = text.size();
  if (!needs_escape(text.data(), n)) [[likely]] {
    if (n != 0) std::memcpy(o, text.data(), n);
    o[n] = '"';
    return o + n + 1;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  return put_escaped(o, p, p + n);
}

inline char* put_int(char* o, int32_t value) {
  if (value >= 0 && value < 10) {
    *o++ = static_cast<char>('0' + value);
    return o;
  }
  if (value >= 10 && value < 100) {
    std::memcpy(o, kDigits.pair + 2 * value, 2);
    return o + 2;
  }
  return std::to_chars(o, o + 11, value).ptr;
}

// The longest text of a string of `size` bytes: every byte as \u00XX.
inline size_t string_room(size_t size) { return size * 6 + 2; }

constexpr size_t kIntRoom = 11;  // "-2147483648"
// How many entries of a map ahead its names are requested.
constexpr size_t kNamesAhead = 16;

// The text being encoded: a buffer handed to `out` whenever it holds a
// piece's worth, or kept whole when there is no `out`.
class Pieces {
 public:
  explicit Pieces(TextOutput* out) : out_(out) { buffer_.reserve(out ? kWritePiece + 4096 : 4096); }

  ByteBuffer& buffer() { return buffer_; }
  void flush_if_full() {
    if (out_ != nullptr && buffer_.size() >= kWritePiece) flush();
  }
  void flush() {
    if (buffer_.size() != 0) out_->write(buffer_.view());
    buffer_.clear();
  }
  void put(char c) {
    buffer_.ensure(1);
    *buffer_.end() = c;
    buffer_.commit(1);
  }

 private:
  TextOutput* out_;
  ByteBuffer buffer_;
};

// The names of one table, each written once as a JSON string followed by a
// colon: a map's entry is then a copy of a few bytes.
//
// When every entry fits, each has a slot of the same size, its length in
// the slot's last byte: the address of an entry is then known without a
// read, so the entries of a whole map can be requested before any is
// copied. Otherwise entries lie one after another, with their ends apart.
class RenderedNames {
 public:
  template <class NameOf>
  RenderedNames(uint32_t count, NameOf&& name_of) {
    ByteBuffer text;
    std::vector<uint64_t> ends(count);
    size_t longest = 0;
    for (uint32_t id = 0; id < count; ++id) {
      const std::string_view name = name_of(id);
      text.ensure(string_room(name.size()) + 1);
      char* o = put_string(text.end(), name);
      *o++ = ':';
      text.set_end(o);
      const uint64_t begin = id == 0 ? 0 : ends[id - 1];
      ends[id] = text.size();
      longest = std::max<size_t>(longest, ends[id] - begin);
    }
    if (longest < kMaxSlot) {
      slot_ = (longest + 1 + 15) / 16 * 16;  // whole 16-byte copies stay within the slot
      ByteBuffer slots(size_t{count} * slot_);
      if (count != 0) std::memset(slots.data(), 0, size_t{count} * slot_);
      for (uint32_t id = 0; id < count; ++id) {
        const uint64_t begin = id == 0 ? 0 : ends[id - 1];
        char* slot = slots.data() + size_t{id} * slot_;
        std::memcpy(slot, text.data() + begin, ends[id] - begin);
        slot[slot_ - 1] = static_cast<char>(ends[id] - begin);
      }
      slots.commit(size_t{count} * slot_);
      text_ = std::move(slots);
      return;
    }
    text.ensure(kPadding);  // whole 16-byte copies may read past the last entry
    text_ = std::move(text);
    ends_ = std::move(ends);
  }

  const char* entry(NameId id) const {
    if (slot_ != 0) return text_.data() + size_t{id} * slot_;
    return text_.data() + (id == 0 ? 0 : ends_[id - 1]);
  }
  // From an entry's first byte to the last one that a slot of more than 16
  // bytes may hold on a second cache line; 0 otherwise.
  size_t reach() const { return slot_ > 16 ? slot_ - 1 : 0; }
  size_t size(NameId id) const {
    if (slot_ != 0) return static_cast<unsigned char>(text_.data()[size_t{id} * slot_ + slot_ - 1]);
    return ends_[id] - (id == 0 ? 0 : ends_[id - 1]);
  }

  static constexpr size_t kPadding = 16;

 private:
  static constexpr size_t kMaxSlot = 64;

  ByteBuffer text_;
  size_t slot_ = 0;  // bytes per slot, or 0 for entries one after another
  std::vector<uint64_t> ends_;
};

// One record: key, then {"id"|"text": id, "maps": {name: count, ...}}, the
// k-th entry of the map being the name `names` holds for id_of(k), and
// count_of(k).
template <class IdOf, class CountOf>
void put_record(Pieces& pieces, bool first, std::string_view key, std::string_view field, std::string_view id,
                size_t count, const RenderedNames& names, IdOf&& id_of, CountOf&& count_of) {
  ByteBuffer& out = pieces.buffer();
  out.ensure(string_room(key.size()) + string_room(id.size()) + 24);
  char* o = out.end();
  if (!first) *o++ = ',';
  o = put_string(o, key);
  *o++ = ':';
  *o++ = '{';
  std::memcpy(o, field.data(), field.size());
  o += field.size();
  o = put_string(o, id);
  std::memcpy(o, ",\"maps\":{", 9);
  o += 9;
  out.set_end(o);

  // The names are scattered in memory: each is requested kNamesAhead
  // entries before it is copied, so that the misses overlap; both of its
  // lines where a slot may span two.
  // (The requests are written out: a function made of prefetches alone
  // counts as free of effects, and its calls are dropped.)
  const size_t reach = names.reach();
  for (size_t k = 0; k < count && k < kNamesAhead; ++k) {
    const char* e = names.entry(id_of(k));
    __builtin_prefetch(e);
    __builtin_prefetch(e + reach);
  }
  for (size_t k = 0; k < count; ++k) {
    if (k + kNamesAhead < count) {
      const char* e = names.entry(id_of(k + kNamesAhead));
      __builtin_prefetch(e);
      __builtin_prefetch(e + reach);
    }
    const NameId id = id_of(k);
    const char* entry = names.entry(id);
    const size_t n = names.size(id);
    out.ensure(n + RenderedNames::kPadding + kIntRoom + 1);
    o = out.end();
    *o = ',';
    o += k != 0;
    if (n <= RenderedNames::kPadding) {
      std::memcpy(o, entry, RenderedNames::kPadding);
    } else {
      std::memcpy(o, entry, n);
    }
    o = put_int(o + n, count_of(k));
    out.set_end(o);
    pieces.flush_if_full();
  }
  out.ensure(2);
  o = out.end();
  *o++ = '}';
  *o++ = '}';
  out.set_end(o);
  pieces.flush_if_full();
}

void write_documents(const Index& index, Pieces& out, ColumnQueue* columns) {
  const RenderedNames tokens(index.token_name_count(), [&](NameId t) { return index.token_name(t); });
  out.put('{');
  bool first = true;
  for_each_document_map(index, [&](NameId d, const Posting* postings, uint32_t n) {
    put_record(
        out, first, index.document_name(d), "\"id\":", index.document_record_id(d), n, tokens,
        [&](size_t k) { return postings[k].id; }, [&](size_t k) { return postings[k].count; });
    first = false;
  }, columns);
  out.put('}');
}

// Token t's record, unless t is absent.
void put_token(const Index& index, Pieces& out, NameId t, bool& first, const RenderedNames& documents) {
  if (!index.token_present(t)) return;
  const PostingList& list = index.postings(t);
  put_record(
      out, first, index.token_name(t), "\"text\":", index.token_record_text(t), list.size(), documents,
      [&](size_t k) { return list.docs()[k]; }, [&](size_t k) { return list.count(static_cast<uint32_t>(k)); });
  first = false;
}

RenderedNames document_names(const Index& index) {
  return RenderedNames(index.document_name_count(), [&](NameId d) { return index.document_name(d); });
}

void write_tokens(const Index& index, Pieces& out) {
  const RenderedNames documents = document_names(index);
  out.put('{');
  bool first = true;
  for (NameId t = 0; t < index.token_name_count(); ++t) put_token(index, out, t, first, documents);
  out.put('}');
}

}  // namespace

void encode_documents(const Index& index, TextOutput& out, ColumnQueue* columns) {
  const ClosingQueue closing(columns);
  Pieces pieces(&out);
  write_documents(index, pieces, columns);
  pieces.flush();
}

ByteBuffer encode_documents(const Index& index) {
  Pieces pieces(nullptr);
  write_documents(index, pieces, nullptr);
  return std::move(pieces.buffer());
}

// ---- the token file in ranges, some rendered ahead by a helping thread

struct TokenTextAhead::State {
  // Ranges rendered ahead and not yet written, at most.
  static constexpr size_t kAhead = 3;
  enum Status : uint8_t { kWriter, kRendering, kRendered, kGivenUp };

  State(const Index& index, uint64_t range_postings) : index(index) {
    // Each range starts at a present token, so that the file's first record
    // opens the first range.
    uint64_t postings = range_postings;
    for (NameId t = 0; t < index.token_name_count(); ++t) {
      if (!index.token_present(t)) continue;
      if (postings >= range_postings) {
        starts.push_back(t);
        postings = 0;
      }
      postings += index.postings(t).size();
    }
    status.assign(starts.size(), kWriter);
    texts.resize(starts.size());
  }
  NameId range_end(size_t r) const { return r + 1 < starts.size() ? starts[r + 1] : index.token_name_count(); }
  void render(size_t r, Pieces& out, bool first) const {
    for (NameId t = starts[r]; t < range_end(r); ++t) put_token(index, out, t, first, *names);
  }
  // Claims range `claimed` and renders it into texts[] outside the lock
  // (`held` on entry and on return). Out of memory, the range is given up:
  // the writer renders it straight into the file.
  bool render_next(std::unique_lock<std::mutex>& held) {
    const size_t r = claimed++;
    status[r] = kRendering;
    held.unlock();
    ByteBuffer text;
    bool rendered = false;
    try {
      Pieces pieces(nullptr);
      render(r, pieces, r == 0);
      text = std::move(pieces.buffer());
      rendered = true;
    } catch (...) {
    }
    held.lock();
    texts[r] = std::move(text);
    status[r] = rendered ? kRendered : kGivenUp;
    changed.notify_all();
    return rendered;
  }
  // Whether a range may be rendered ahead now: at most kAhead past the
  // one the writer is at.
  bool may_render_ahead() const { return claimed < starts.size() && claimed < written + 1 + kAhead; }

  const Index& index;
  std::vector<NameId> starts;          // per range: its first token
  std::optional<RenderedNames> names;  // made by the writer; then names_ready
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;  // the writer has begun: names will be ready
  bool names_ready = false;
  bool closed = false;
  size_t claimed = 0;  // ranges [0, claimed) are taken, by the writer or the helper
  size_t written = 0;  // ranges the writer is done with
  std::vector<Status> status;     // per range
  std::vector<ByteBuffer> texts;  // per range rendered ahead, until written
};

TokenTextAhead::TokenTextAhead(const Index& index, uint64_t range_postings)
    : state_(std::make_unique<State>(index, range_postings)) {}

size_t TokenTextAhead::rendered_ahead() {
  std::lock_guard<std::mutex> held(state_->lock);
  return static_cast<size_t>(std::count(state_->status.begin(), state_->status.end(), State::kRendered));
}

TokenTextAhead::~TokenTextAhead() = default;

void TokenTextAhead::help() {
  State& s = *state_;
  std::unique_lock<std::mutex> held(s.lock);
  // A writer that has not begun may never begin (its file failed to open,
  // or it runs after this thread): nothing to help with.
  if (!s.started) return;
  while (!s.closed && s.claimed < s.starts.size()) {
    if (!s.names_ready || !s.may_render_ahead()) {
      s.changed.wait(held);
      continue;
    }
    if (!s.render_next(held)) return;
  }
}

void TokenTextAhead::close() {
  std::lock_guard<std::mutex> held(state_->lock);
  state_->closed = true;
  state_->changed.notify_all();
}

void encode_tokens(const Index& index, TextOutput& out, TokenTextAhead* ahead) {
  if (ahead == nullptr) {
    Pieces pieces(&out);
    write_tokens(index, pieces);
    pieces.flush();
    return;
  }
  struct Closing {
    TokenTextAhead& ahead;
    ~Closing() { ahead.close(); }
  } closing{*ahead};
  TokenTextAhead::State& s = *ahead->state_;
  {
    std::lock_guard<std::mutex> held(s.lock);
    s.started = true;
  }
  s.names.emplace(document_names(index));
  {
    std::lock_guard<std::mutex> held(s.lock);
    s.names_ready = true;
    s.changed.notify_all();
  }
  Pieces pieces(&out);
  pieces.put('{');
  // Range after range, in order: a range rendered ahead is written as it
  // is; one not taken is rendered straight into the file; while the helper
  // is still rendering the next one, a later one is rendered ahead here.
  using Status = TokenTextAhead::State::Status;
  std::unique_lock<std::mutex> held(s.lock);
  for (size_t r = 0; r < s.starts.size();) {
    const Status status = s.status[r];
    if (status == Status::kRendering) {
      if (s.may_render_ahead()) {
        s.render_next(held);
      } else {
        s.changed.wait(held);
      }
      continue;
    }
    if (r >= s.claimed) s.claimed = r + 1;
    ByteBuffer text = std::move(s.texts[r]);
    held.unlock();
    if (status == Status::kRendered) {
      pieces.flush();
      out.write(text.view());
    } else {
      s.render(r, pieces, r == 0);
    }
    held.lock();
    s.written = ++r;
    s.changed.notify_all();
  }
  held.unlock();
  pieces.put('}');
  pieces.flush();
}

ByteBuffer encode_tokens(const Index& index) {
  Pieces pieces(nullptr);
  write_tokens(index, pieces);
  return std::move(pieces.buffer());
}

}  // namespace vantoro::persist
