#include "persist/json_writer.hpp"

#include <charconv>
#include <cstring>
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

inline char* put_string(char* o, std::string_view text) {
  *o++ = '"';
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // Copy while checking, without a branch per byte; most names need no escape.
  char needs = 0;
  for (size_t i = 0; i < n; ++i) {
    o[i] = static_cast<char>(p[i]);
    needs |= kEscape.letter[p[i]];
  }
  if (needs == 0) [[likely]] {
    o[n] = '"';
    return o + n + 1;
  }
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

// One record: key, then {"id"|"text": id, "maps": {name: count, ...}}.
// name_of(k) and count_of(k) give the k-th entry of the map.
template <class NameOf, class CountOf>
void put_record(ByteBuffer& out, bool first, std::string_view key, std::string_view field, std::string_view id,
                size_t count, NameOf&& name_of, CountOf&& count_of, std::vector<std::string_view>& names) {
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

  // The names are scattered in memory: look them all up first, in a loop
  // short enough for the processor to overlap the misses, then write.
  names.resize(count);
  for (size_t k = 0; k < count; ++k) {
    names[k] = name_of(k);
    __builtin_prefetch(names[k].data());
  }
  for (size_t k = 0; k < count; ++k) {
    const std::string_view name = names[k];
    out.ensure(string_room(name.size()) + kIntRoom + 2);
    o = out.end();
    if (k != 0) *o++ = ',';
    o = put_string(o, name);
    *o++ = ':';
    o = put_int(o, count_of(k));
    out.set_end(o);
  }
  out.ensure(2);
  o = out.end();
  *o++ = '}';
  *o++ = '}';
  out.set_end(o);
}

ByteBuffer start_object(uint64_t records) {
  ByteBuffer out;
  // A first guess from the number of records; the buffer grows if needed.
  out.reserve(4096 + static_cast<size_t>(records) * 64);
  out.ensure(1);
  *out.end() = '{';
  out.commit(1);
  return out;
}

void end_object(ByteBuffer& out) {
  out.ensure(1);
  *out.end() = '}';
  out.commit(1);
}

}  // namespace

ByteBuffer encode_documents(const Index& index) {
  ByteBuffer out = start_object(index.document_count());
  std::vector<std::string_view> names;
  bool first = true;
  for_each_document_map(index, [&](NameId d, const Posting* postings, uint32_t n) {
    put_record(
        out, first, index.document_name(d), "\"id\":", index.document_record_id(d), n,
        [&](size_t k) { return index.token_name(postings[k].id); }, [&](size_t k) { return postings[k].count; },
        names);
    first = false;
  });
  end_object(out);
  return out;
}

ByteBuffer encode_tokens(const Index& index) {
  ByteBuffer out = start_object(index.token_count());
  std::vector<std::string_view> names;
  bool first = true;
  for (NameId t = 0; t < index.token_name_count(); ++t) {
    if (!index.token_present(t)) continue;
    const PostingList& list = index.postings(t);
    put_record(
        out, first, index.token_name(t), "\"text\":", index.token_record_text(t), list.size(),
        [&](size_t k) { return index.document_name(list.docs()[k]); },
        [&](size_t k) { return list.count(static_cast<uint32_t>(k)); }, names);
    first = false;
  }
  end_object(out);
  return out;
}

void append_json_string(ByteBuffer& out, std::string_view text) {
  out.ensure(string_room(text.size()));
  out.set_end(put_string(out.end(), text));
}

void append_json_int(ByteBuffer& out, int32_t value) {
  out.ensure(kIntRoom);
  out.set_end(put_int(out.end(), value));
}

}  // namespace vantoro::persist
