#include "persist/json_reader.hpp"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "persist/number_text.hpp"
#include "persist/quoted_text.hpp"

namespace vantoro::persist {
namespace {

// Faults of syntax, each with its fixed description.
enum class Syntax : uint8_t {
  kEofValue,
  kEofString,
  kEofObject,
  kEofList,
  kExpectedValue,
  kExpectedIdent,
  kExpectedColon,
  kExpectedObjectCommaOrEnd,
  kExpectedListCommaOrEnd,
  kKeyMustBeString,
  kTrailingComma,
  kTrailingCharacters,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidEscape,
  kControlCharacter,
  kUnexpectedEndOfHexEscape,
  kLoneLeadingSurrogate,
};

const char* syntax_text(Syntax code) {
  switch (code) {
    case Syntax::kEofValue: return "EOF while parsing a value";
    case Syntax::kEofString: return "EOF while parsing a string";
    case Syntax::kEofObject: return "EOF while parsing an object";
    case Syntax::kEofList: return "EOF while parsing a list";
    case Syntax::kExpectedValue: return "expected value";
    case Syntax::kExpectedIdent: return "expected ident";
    case Syntax::kExpectedColon: return "expected `:`";
    case Syntax::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Syntax::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Syntax::kKeyMustBeString: return "key must be a string";
    case Syntax::kTrailingComma: return "trailing comma";
    case Syntax::kTrailingCharacters: return "trailing characters";
    case Syntax::kInvalidNumber: return "invalid number";
    case Syntax::kNumberOutOfRange: return "number out of range";
    case Syntax::kInvalidEscape: return "invalid escape";
    case Syntax::kControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Syntax::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Syntax::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
  }
  return "";
}

// A number as read: an integer that fits 64 bits (unsigned without a minus
// sign, signed with one), or else a double.
struct Number {
  enum class Kind : uint8_t { kUnsigned, kSigned, kFloat };
  Kind kind = Kind::kUnsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0.0;
};

std::string describe(const Number& n) {
  switch (n.kind) {
    case Number::Kind::kUnsigned: return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::kSigned: return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::kFloat: return "floating point `" + plain_decimal(n.f) + "`";
  }
  return "";
}

Number float_number(double f) {
  Number n;
  n.kind = Number::Kind::kFloat;
  n.f = f;
  return n;
}

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// Bytes that end a run of plain string content.
struct StopTable {
  bool stop[256] = {};
  constexpr StopTable() {
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr StopTable kStop;

// The cursor over one text, with the scanning shared by both files: white
// space, strings, numbers, literals and ignored values. Faults are thrown as
// FormatError at the place the reader stands: just after the offending byte
// for a fault of syntax, just after a scalar value or record of the wrong
// kind, range, length or members, and at the opening bracket of an array or
// object of the wrong kind.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text.data() ? text.data() : ""), n_(text.size()) {}

 protected:
  static constexpr uint8_t kArray = 1;
  static constexpr uint8_t kFirst = 2;

  [[noreturn, gnu::cold, gnu::noinline]] void fail(std::string description, size_t position) const {
    throw FormatError::at(std::move(description), std::string_view(s_, n_), position);
  }
  [[noreturn, gnu::cold, gnu::noinline]] void fail(Syntax code, size_t position) const {
    fail(std::string(syntax_text(code)), position);
  }
  // A fault found while looking at the next byte: reported just after it.
  [[noreturn, gnu::cold, gnu::noinline]] void fail_peek(Syntax code) const {
    fail(code, i_ < n_ ? i_ + 1 : n_);
  }

  // Skips white space; returns the next byte (not consumed) or -1 at the end.
  int peek_ws() {
    while (i_ < n_) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c > ' ') return c;
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++i_;
    }
    return -1;
  }

  void colon() {
    const int c = peek_ws();
    if (c == ':') {
      ++i_;
      return;
    }
    if (c < 0) fail_peek(Syntax::kEofObject);
    fail_peek(Syntax::kExpectedColon);
  }

  // Moves to the next member of an object whose "{" has been consumed.
  // Returns true with the member name's opening quote consumed, or false
  // with the cursor on the closing "}".
  bool next_member(bool& first) {
    int c = peek_ws();
    if (c == '}') return false;
    if (c == ',' && !first) {
      ++i_;
      c = peek_ws();
    } else if (c < 0) {
      fail_peek(Syntax::kEofObject);
    } else if (first) {
      first = false;
    } else {
      fail_peek(Syntax::kExpectedObjectCommaOrEnd);
    }
    if (c == '"') {
      ++i_;
      return true;
    }
    if (c == '}') fail_peek(Syntax::kTrailingComma);
    if (c < 0) fail_peek(Syntax::kEofValue);
    fail_peek(Syntax::kKeyMustBeString);
  }

  // Advances to the first byte at or after the cursor that is '"', '\\' or a
  // control byte, or to the end.
  void skip_plain() {
    if constexpr (std::endian::native == std::endian::little) {
      constexpr uint64_t kOnes = 0x0101010101010101ULL;
      constexpr uint64_t kHigh = 0x8080808080808080ULL;
      while (n_ - i_ >= 8) {
        uint64_t w;
        std::memcpy(&w, s_ + i_, 8);
        const uint64_t quote = w ^ (kOnes * '"');
        const uint64_t slash = w ^ (kOnes * '\\');
        // Each term sets the high bit of the lowest matching byte exactly;
        // higher bytes may be flagged falsely only above a true match.
        const uint64_t hit = ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash);
        const uint64_t mask = hit & kHigh;
        if (mask != 0) {
          i_ += static_cast<size_t>(std::countr_zero(mask)) / 8;
          return;
        }
        i_ += 8;
      }
    }
    while (i_ < n_ && !kStop.stop[static_cast<unsigned char>(s_[i_])]) ++i_;
  }

  // Reads the rest of a string whose opening quote has been consumed. With
  // kKeep, returns its decoded content: a view into the text when it holds
  // no escape (last_escaped_ false), else a view of scratch_.
  template <bool kKeep>
  std::string_view read_string() {
    const size_t start = i_;
    skip_plain();
    if (i_ < n_ && s_[i_] == '"') [[likely]] {
      // No escape: the content is a view into the text.
      if constexpr (kKeep) last_escaped_ = false;
      return std::string_view(s_ + start, i_++ - start);
    }
    return read_string_rest<kKeep>(start);
  }

  // read_string past the first byte that is not plain content.
  template <bool kKeep>
  [[gnu::noinline]] std::string_view read_string_rest(size_t start) {
    bool escaped = false;
    for (;;) {
      if (i_ >= n_) fail(Syntax::kEofString, n_);
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        std::string_view out;
        if constexpr (kKeep) {
          if (escaped) {
            scratch_.append(s_ + start, i_ - start);
            out = scratch_;
          } else {
            out = std::string_view(s_ + start, i_ - start);
          }
          last_escaped_ = escaped;
        }
        ++i_;
        return out;
      }
      if (c == '\\') {
        if constexpr (kKeep) {
          if (!escaped) scratch_.clear();
          scratch_.append(s_ + start, i_ - start);
        }
        escaped = true;
        ++i_;
        read_escape<kKeep>();
        start = i_;
        skip_plain();
        continue;
      }
      ++i_;
      fail(Syntax::kControlCharacter, i_);
    }
  }

  template <bool kKeep>
  void read_escape() {
    if (i_ >= n_) fail(Syntax::kEofString, n_);
    char decoded;
    switch (s_[i_++]) {
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      case '/': decoded = '/'; break;
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': read_unicode_escape<kKeep>(); return;
      default: fail(Syntax::kInvalidEscape, i_);
    }
    if constexpr (kKeep) scratch_ += decoded;
  }

  uint32_t read_hex4() {
    if (n_ - i_ < 4) fail(Syntax::kEofString, n_);
    uint32_t value = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hex_value(static_cast<unsigned char>(s_[i_]));
      ++i_;
      if (digit < 0) fail(Syntax::kInvalidEscape, i_);
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
  }

  // After "\u": four hex digits, and for a high surrogate a second "\u"
  // escape holding the low surrogate.
  template <bool kKeep>
  void read_unicode_escape() {
    uint32_t cp = read_hex4();
    if (cp >= 0xdc00 && cp <= 0xdfff) fail(Syntax::kLoneLeadingSurrogate, i_);
    if (cp >= 0xd800 && cp <= 0xdbff) {
      if (i_ >= n_) fail(Syntax::kEofString, n_);
      if (s_[i_++] != '\\') fail(Syntax::kUnexpectedEndOfHexEscape, i_);
      if (i_ >= n_) fail(Syntax::kEofString, n_);
      if (s_[i_++] != 'u') fail(Syntax::kUnexpectedEndOfHexEscape, i_);
      const uint32_t low = read_hex4();
      if (low < 0xdc00 || low > 0xdfff) fail(Syntax::kLoneLeadingSurrogate, i_);
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    if constexpr (kKeep) append_utf8(scratch_, cp);
  }

  // The rest of a literal whose first letter has been consumed.
  void read_ident(const char* rest) {
    for (; *rest != '\0'; ++rest) {
      if (i_ >= n_) fail(Syntax::kEofValue, n_);
      if (s_[i_++] != *rest) fail(Syntax::kExpectedIdent, i_);
    }
  }

  // Reads a number whose minus sign, if any, has been consumed; `start` is
  // where the number began. Integers that fit 64 bits stay integers; all
  // other numbers become doubles.
  Number read_number(bool negative, size_t start) {
    if (i_ >= n_) fail(Syntax::kEofValue, n_);
    const unsigned char first = static_cast<unsigned char>(s_[i_++]);
    uint64_t significand = 0;
    if (first == '0') {
      if (i_ < n_ && is_digit(s_[i_])) fail(Syntax::kInvalidNumber, i_ + 1);
    } else if (first >= '1' && first <= '9') {
      significand = first - '0';
      while (i_ < n_ && is_digit(s_[i_])) {
        const uint64_t digit = static_cast<uint64_t>(s_[i_] - '0');
        if (significand > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
          return read_float_rest(negative, start, true);
        }
        significand = significand * 10 + digit;
        ++i_;
      }
    } else {
      fail(Syntax::kInvalidNumber, i_);
    }
    if (i_ < n_ && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) {
      return read_float_rest(negative, start, significand != 0);
    }
    Number n;
    if (!negative) {
      n.kind = Number::Kind::kUnsigned;
      n.u = significand;
    } else if (significand == 0 || significand > (uint64_t{1} << 63)) {
      // -0 and integers below the signed range are doubles.
      n = float_number(-static_cast<double>(significand));
    } else {
      n.kind = Number::Kind::kSigned;
      n.i = static_cast<int64_t>(~significand + 1);
    }
    return n;
  }

  // The remaining integer digits, fraction and exponent of a number that is
  // a double; `nonzero` tells whether a nonzero digit has been seen.
  Number read_float_rest(bool negative, size_t start, bool nonzero) {
    while (i_ < n_ && is_digit(s_[i_])) ++i_;
    if (i_ < n_ && s_[i_] == '.') {
      ++i_;
      const size_t digits = i_;
      while (i_ < n_ && is_digit(s_[i_])) {
        nonzero |= s_[i_] != '0';
        ++i_;
      }
      if (i_ == digits) {
        if (i_ < n_) fail(Syntax::kInvalidNumber, i_ + 1);
        fail(Syntax::kEofValue, n_);
      }
    }
    if (i_ < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      bool positive_exponent = true;
      if (i_ < n_ && (s_[i_] == '+' || s_[i_] == '-')) {
        positive_exponent = s_[i_] == '+';
        ++i_;
      }
      if (i_ >= n_) fail(Syntax::kEofValue, n_);
      const char c = s_[i_++];
      if (!is_digit(c)) fail(Syntax::kInvalidNumber, i_);
      int32_t exponent = c - '0';
      while (i_ < n_ && is_digit(s_[i_])) {
        const int32_t digit = s_[i_] - '0';
        ++i_;
        if (exponent > (std::numeric_limits<int32_t>::max() - digit) / 10) {
          // An exponent beyond 32 bits: infinite or zero.
          if (nonzero && positive_exponent) fail(Syntax::kNumberOutOfRange, i_);
          while (i_ < n_ && is_digit(s_[i_])) ++i_;
          return float_number(negative ? -0.0 : 0.0);
        }
        exponent = exponent * 10 + digit;
      }
    }
    const double value = parse_double(start, i_);
    if (std::isinf(value)) fail(Syntax::kNumberOutOfRange, i_);
    return float_number(value);
  }

  // The correctly rounded double of text [start, end), infinite when it
  // overflows.
  double parse_double(size_t start, size_t end) const {
    double value = 0.0;
    const auto result = std::from_chars(s_ + start, s_ + end, value);
    if (result.ec == std::errc() && result.ptr == s_ + end) return value;
    // Out of range: strtod tells overflow (infinity) from underflow.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string copy(s_ + start, end - start);
    return strtod_l(copy.c_str(), nullptr, c_locale);
  }

  // Reports a value found where `expected` was wanted, after reading the
  // value if it is a scalar. The cursor is on the value's first byte.
  [[noreturn, gnu::cold, gnu::noinline]] void invalid_type(const char* expected) {
    std::string found;
    const unsigned char c = i_ < n_ ? static_cast<unsigned char>(s_[i_]) : 0;
    switch (c) {
      case 'n': ++i_; read_ident("ull"); found = "null"; break;
      case 't': ++i_; read_ident("rue"); found = "boolean `true`"; break;
      case 'f': ++i_; read_ident("alse"); found = "boolean `false`"; break;
      case '-': {
        const size_t start = i_++;
        found = describe(read_number(true, start));
        break;
      }
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        found = describe(read_number(false, i_));
        break;
      case '"':
        ++i_;
        found = "string " + quoted(read_string<true>());
        break;
      case '[': found = "sequence"; break;
      case '{': found = "map"; break;
      default: fail_peek(Syntax::kExpectedValue);
    }
    fail("invalid type: " + found + ", expected " + expected, i_);
  }

  // Reads and discards one value of any kind and depth. Open arrays and
  // objects are kept on a heap stack, not the call stack.
  void skip_value() {
    frames_.clear();
    do {
      switch (peek_ws()) {
        case -1: fail_peek(Syntax::kEofValue);
        case 'n': ++i_; read_ident("ull"); break;
        case 't': ++i_; read_ident("rue"); break;
        case 'f': ++i_; read_ident("alse"); break;
        case '-': ++i_; skip_number(); break;
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
          skip_number();
          break;
        case '"': ++i_; read_string<false>(); break;
        case '[': ++i_; frames_.push_back(kArray | kFirst); break;
        case '{': ++i_; frames_.push_back(kFirst); break;
        default: fail_peek(Syntax::kExpectedValue);
      }
    } while (close_frames());
  }

  // After a value inside skip_value: closes the arrays and objects that end
  // here. Returns true when another value must be read (an element or a
  // member's value, its separator and name consumed), false when the
  // outermost skipped value is complete.
  bool close_frames() {
    while (!frames_.empty()) {
      uint8_t& frame = frames_.back();
      int c = peek_ws();
      if (frame & kArray) {
        if (c == ']') {
          ++i_;
          frames_.pop_back();
          continue;
        }
        if (c == ',' && !(frame & kFirst)) {
          ++i_;
          return true;
        }
        if (c < 0) fail_peek(Syntax::kEofList);
        if (frame & kFirst) {
          frame &= static_cast<uint8_t>(~kFirst);
          return true;
        }
        fail_peek(Syntax::kExpectedListCommaOrEnd);
      }
      if (c == '}') {
        ++i_;
        frames_.pop_back();
        continue;
      }
      if (c == ',' && !(frame & kFirst)) {
        ++i_;
        c = peek_ws();
      } else if (c < 0) {
        fail_peek(Syntax::kEofObject);
      } else if (frame & kFirst) {
        frame &= static_cast<uint8_t>(~kFirst);
      } else {
        fail_peek(Syntax::kExpectedObjectCommaOrEnd);
      }
      if (c == '"') {
        ++i_;
        read_string<false>();
      } else if (c < 0) {
        fail_peek(Syntax::kEofValue);
      } else {
        fail_peek(Syntax::kKeyMustBeString);
      }
      colon();
      return true;
    }
    return false;
  }

  // Checks the syntax of a number whose minus sign, if any, has been
  // consumed, without computing its value.
  void skip_number() {
    const char first = i_ < n_ ? s_[i_++] : '\0';
    if (first == '0') {
      if (i_ < n_ && is_digit(s_[i_])) fail(Syntax::kInvalidNumber, i_ + 1);
    } else if (first >= '1' && first <= '9') {
      while (i_ < n_ && is_digit(s_[i_])) ++i_;
    } else {
      fail(Syntax::kInvalidNumber, i_);
    }
    if (i_ < n_ && s_[i_] == '.') {
      ++i_;
      const size_t digits = i_;
      while (i_ < n_ && is_digit(s_[i_])) ++i_;
      if (i_ == digits) fail_peek(Syntax::kInvalidNumber);
    }
    if (i_ < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < n_ && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      const char c = i_ < n_ ? s_[i_++] : '\0';
      if (!is_digit(c)) fail(Syntax::kInvalidNumber, i_);
      while (i_ < n_ && is_digit(s_[i_])) ++i_;
    }
  }

  const char* s_;
  size_t n_;
  size_t i_ = 0;
  std::string scratch_;
  bool last_escaped_ = false;
  std::vector<uint8_t> frames_;
};

// What differs between the two files.
struct DocumentsFile {
  static constexpr const char* kIdField = "id";
  static constexpr const char* kRecord = "struct Document";
  static void prefetch_key(const IndexBuilder& b, std::string_view key) { b.prefetch_document_name(key); }
  static IndexBuilder::NameHash prefetch_name(const IndexBuilder& b, std::string_view name) {
    return b.prefetch_token_name(name);
  }
  static void begin(IndexBuilder& b, std::string_view key) { b.begin_document(key); }
  static void counts(IndexBuilder& b, const std::string_view* names, const IndexBuilder::NameHash* hashes,
                     const int32_t* values, size_t n) {
    b.document_counts(names, hashes, values, n);
  }
  static void end(IndexBuilder& b, std::string_view id) { b.end_document(id); }
};

struct TokensFile {
  static constexpr const char* kIdField = "text";
  static constexpr const char* kRecord = "struct Token";
  static void prefetch_key(const IndexBuilder& b, std::string_view key) { b.prefetch_token_name(key); }
  static IndexBuilder::NameHash prefetch_name(const IndexBuilder& b, std::string_view name) {
    return b.prefetch_document_name(name);
  }
  static void begin(IndexBuilder& b, std::string_view key) { b.begin_token(key); }
  static void counts(IndexBuilder& b, const std::string_view* names, const IndexBuilder::NameHash* hashes,
                     const int32_t* values, size_t n) {
    b.token_counts(names, hashes, values, n);
  }
  static void end(IndexBuilder& b, std::string_view text) { b.end_token(text); }
};

// One file: an object of key -> record, a record being {"<id>": string,
// "maps": {name: count, ...}} with members in any order and others ignored,
// or [string, maps].
template <class File>
class RecordReader : Scanner {
 public:
  RecordReader(std::string_view text, IndexBuilder& builder) : Scanner(text), builder_(builder) {}

  void read() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c != '{') invalid_type("a map");
    ++i_;
    bool first = true;
    while (next_member(first)) {
      const std::string_view key = kept(read_string<true>());
      File::prefetch_key(builder_, key);
      defer(Step::kBegin, key);
      colon();
      read_record();
    }
    ++i_;
    if (peek_ws() >= 0) fail_peek(Syntax::kTrailingCharacters);
    replay();
  }

 private:
  enum class Step : uint8_t { kBegin, kCount, kEnd };
  struct Call {
    std::string_view text;  // the key, the name counted, or the record's id
    IndexBuilder::NameHash hash;  // of the name counted
    int32_t count;
    Step step;
  };
  static constexpr size_t kWindow = 1024;

  void read_record() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c == '{') {
      ++i_;
      read_record_object();
    } else if (c == '[') {
      ++i_;
      read_record_array();
    } else {
      invalid_type(File::kRecord);
    }
  }

  void read_record_object() {
    bool first = true;
    bool have_id = false;
    bool have_maps = false;
    while (next_member(first)) {
      const std::string_view name = read_string<true>();
      if (name == File::kIdField) {
        if (have_id) fail_after_member(std::string("duplicate field `") + File::kIdField + "`");
        colon();
        read_record_id();
        have_id = true;
      } else if (name == "maps") {
        if (have_maps) fail_after_member("duplicate field `maps`");
        colon();
        read_maps();
        have_maps = true;
      } else {
        colon();
        skip_value();
      }
    }
    ++i_;
    if (!have_id) fail(std::string("missing field `") + File::kIdField + "`", i_);
    if (!have_maps) fail("missing field `maps`", i_);
    end_record();
  }

  void read_record_array() {
    int c = peek_ws();
    if (c == ']') {
      ++i_;
      fail(length_text(0), i_);
    }
    if (c < 0) fail_peek(Syntax::kEofList);
    read_record_id();
    c = peek_ws();
    if (c == ']') {
      ++i_;
      fail(length_text(1), i_);
    }
    if (c == ',') {
      ++i_;
      c = peek_ws();
      if (c == ']') fail_peek(Syntax::kTrailingComma);
      if (c < 0) fail_peek(Syntax::kEofValue);
    } else if (c < 0) {
      fail_peek(Syntax::kEofList);
    } else {
      fail_peek(Syntax::kExpectedListCommaOrEnd);
    }
    read_maps();
    c = peek_ws();
    if (c == ']') {
      ++i_;
      end_record();
      return;
    }
    if (c == ',') {
      ++i_;
      if (peek_ws() == ']') fail_peek(Syntax::kTrailingComma);
      fail_peek(Syntax::kTrailingCharacters);
    }
    if (c < 0) fail_peek(Syntax::kEofList);
    fail_peek(Syntax::kTrailingCharacters);
  }

  [[noreturn, gnu::cold]] void fail_after_member(std::string description) {
    // The record is abandoned after the repeated name; a closing brace
    // right behind it still belongs to the record.
    if (peek_ws() == '}') ++i_;
    fail(std::move(description), i_);
  }

  static std::string length_text(int count) {
    return "invalid length " + std::to_string(count) + ", expected " + File::kRecord + " with 2 elements";
  }

  void read_record_id() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c != '"') invalid_type("a string");
    ++i_;
    record_id_ = read_string<true>();
    record_id_escaped_ = last_escaped_;
    if (record_id_escaped_) {
      id_buffer_.assign(record_id_);
      record_id_ = id_buffer_;
    }
  }

  void end_record() { defer(Step::kEnd, record_id_escaped_ ? std::string_view(kept_.emplace_back(id_buffer_)) : record_id_); }

  void read_maps() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c != '{') invalid_type("a map");
    ++i_;
    bool first = true;
    while (next_member(first)) {
      const std::string_view name = kept(read_string<true>());
      const IndexBuilder::NameHash hash = File::prefetch_name(builder_, name);
      colon();
      defer(Step::kCount, name, read_count(), hash);
    }
    ++i_;
  }

  // A string that a deferred call will use: text that held escapes is
  // decoded into scratch_, which the next string reuses, so it is copied.
  std::string_view kept(std::string_view s) { return last_escaped_ ? std::string_view(kept_.emplace_back(s)) : s; }

  // The builder calls are made a window behind the reading: the lookup of
  // every name is requested (prefetched) as it is read, and done when the
  // call is replayed, so the memory reads of many names overlap.
  void defer(Step step, std::string_view text, int32_t count = 0, IndexBuilder::NameHash hash = {}) {
    calls_.push_back(Call{text, hash, count, step});
    if (calls_.size() >= kWindow) replay();
  }

  void replay() {
    const size_t n = calls_.size();
    for (size_t k = 0; k < n;) {
      const Call& call = calls_[k];
      if (call.step == Step::kBegin) {
        File::begin(builder_, call.text);
        ++k;
      } else if (call.step == Step::kEnd) {
        File::end(builder_, call.text);
        ++k;
      } else {
        size_t m = 0;
        for (; k < n && calls_[k].step == Step::kCount; ++k, ++m) {
          names_[m] = calls_[k].text;
          hashes_[m] = calls_[k].hash;
          counts_[m] = calls_[k].count;
        }
        File::counts(builder_, names_.data(), hashes_.data(), counts_.data(), m);
      }
    }
    calls_.clear();
    kept_.clear();
  }

  int32_t read_count() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c >= '0' && c <= '9') {
      // Fast path: up to 9 digits without sign, fraction or exponent (so
      // the value fits), no leading zero before another digit.
      const char* const first = s_ + i_;
      const char* const stop = s_ + n_ - first > 9 ? first + 9 : s_ + n_;
      uint32_t value = static_cast<uint32_t>(c - '0');
      const char* p = first + 1;
      if (c != '0') {
        while (p < stop && is_digit(*p)) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
      }
      if (p < s_ + n_ && !is_digit(*p) && *p != '.' && *p != 'e' && *p != 'E') [[likely]] {
        i_ = static_cast<size_t>(p - s_);
        return static_cast<int32_t>(value);
      }
    }
    const size_t start = i_;
    bool negative = false;
    if (c == '-') {
      negative = true;
      ++i_;
    } else if (!is_digit(c)) {
      invalid_type("i32");
    }
    const Number n = read_number(negative, start);
    switch (n.kind) {
      case Number::Kind::kUnsigned:
        if (n.u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return static_cast<int32_t>(n.u);
        break;
      case Number::Kind::kSigned:
        if (n.i >= std::numeric_limits<int32_t>::min()) return static_cast<int32_t>(n.i);
        break;
      case Number::Kind::kFloat:
        fail("invalid type: " + describe(n) + ", expected i32", i_);
    }
    fail("invalid value: " + describe(n) + ", expected i32", i_);
  }

  IndexBuilder& builder_;
  std::string_view record_id_;
  bool record_id_escaped_ = false;
  std::string id_buffer_;
  std::vector<Call> calls_;          // made, in order, at the next replay
  std::deque<std::string> kept_;     // decoded strings that calls_ refers to
  std::array<std::string_view, kWindow> names_;
  std::array<IndexBuilder::NameHash, kWindow> hashes_;
  std::array<int32_t, kWindow> counts_;
};

}  // namespace

void decode_documents(std::string_view text, IndexBuilder& builder) {
  RecordReader<DocumentsFile>(text, builder).read();
}

void decode_tokens(std::string_view text, IndexBuilder& builder) {
  RecordReader<TokensFile>(text, builder).read();
}

}  // namespace vantoro::persist
