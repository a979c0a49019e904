#include "persist/json_reader.hpp"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "persist/number_text.hpp"
#include "persist/plain_scan.hpp"
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
    // A signed integer was written with a minus sign: a zero is "-0".
    case Number::Kind::kSigned: return n.i == 0 ? "integer `-0`" : "integer `" + std::to_string(n.i) + "`";
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
// space, strings, numbers, literals and ignored values.
//
// The text is held one piece at a time: [s_, s_ + n_) is the current piece,
// which starts at offset base_ of the text. Nothing refers to a piece once
// the next is fetched: a string that runs across pieces is gathered in
// scratch_, a number in number_.
//
// Faults are thrown as FormatError at the place the reader stands: just
// after the offending byte for a fault of syntax, just after a scalar value
// or record of the wrong kind, range, length or members, and at the opening
// bracket of an array or object of the wrong kind. Lines are counted as the
// white space between tokens is skipped: a line feed anywhere else is itself
// the offending byte of a fault (a raw control byte in a string, a bad
// escape or number), so the place of a fault never needs the text before it.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text.data() ? text.data() : ""), n_(text.size()) {}
  explicit Scanner(TextChunks& chunks) : chunks_(&chunks) {}

 protected:
  static constexpr uint8_t kArray = 1;
  static constexpr uint8_t kFirst = 2;

  uint64_t pos() const { return base_ + i_; }

  // Fetches the next piece once the current one is used up (i_ == n_).
  // False at the end of the text, which leaves pos() at the end.
  [[gnu::noinline]] bool more() {
    if (piece_ends_) piece_ends_(piece_ends_context_);
    std::string_view piece;
    while (chunks_ != nullptr && chunks_->next(piece)) {
      if (piece.empty()) continue;
      base_ += n_;
      s_ = piece.data();
      n_ = piece.size();
      i_ = 0;
      return true;
    }
    chunks_ = nullptr;
    return false;
  }
  // Whether a byte is at the cursor (fetching the next piece if needed).
  bool avail() { return i_ < n_ || more(); }

  // The fault `description` at `position`; `offending` is the byte just
  // before it when the fault is that byte (it may be a line feed).
  [[noreturn, gnu::cold, gnu::noinline]] void fail(std::string description, uint64_t position,
                                                   unsigned char offending = 0) const {
    uint64_t line = line_;
    uint64_t line_start = line_start_;
    if (offending == '\n') {
      ++line;
      line_start = position;
    }
    throw FormatError(std::move(description), line, position - line_start, position);
  }
  [[noreturn, gnu::cold, gnu::noinline]] void fail(Syntax code, uint64_t position, unsigned char offending = 0) const {
    fail(std::string(syntax_text(code)), position, offending);
  }
  // A fault at the end of the text.
  [[noreturn, gnu::cold, gnu::noinline]] void fail_end(Syntax code) const { fail(code, pos()); }
  // A fault that is the byte just consumed.
  [[noreturn, gnu::cold, gnu::noinline]] void fail_after(Syntax code, unsigned char byte) const {
    fail(code, pos(), byte);
  }
  // A fault found while looking at the next byte: reported just after it.
  [[noreturn, gnu::cold, gnu::noinline]] void fail_peek(Syntax code) {
    if (!avail()) fail_end(code);
    fail(code, pos() + 1, static_cast<unsigned char>(s_[i_]));
  }

  // Skips white space; returns the next byte (not consumed) or -1 at the end.
  int peek_ws() {
    for (;;) {
      while (i_ < n_) {
        const unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c > ' ') return c;
        if (c == '\n') {
          ++line_;
          line_start_ = pos() + 1;
        } else if (c != ' ' && c != '\t' && c != '\r') {
          return c;
        }
        ++i_;
      }
      if (!more()) return -1;
    }
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
  // control byte, or to the end of the piece.
  void skip_plain() {
    i_ = static_cast<size_t>(skip_plain_blocks(s_ + i_, s_ + n_) - s_);
    while (i_ < n_ && !kStop.stop[static_cast<unsigned char>(s_[i_])]) ++i_;
  }

  // Reads the members of a map, whose "{" has been consumed, straight from
  // the piece for as long as they are written as a save writes them:
  // `"name":count` with no white space, a name of plain content and a count
  // of 1 to 9 digits (no leading zero before another digit), each member
  // but the first after a comma. Hands each to on_member(name, count). Stops before the
  // first member that differs in any way, or that lies too near the end of
  // the piece, and leaves it to the general reading, which then meets
  // exactly the bytes it would have met from the start: these members hold
  // no line feed, so the line count needs nothing either.
  template <class OnMember>
  void read_plain_members(bool& first, OnMember&& on_member) {
    const char* p = s_ + i_;
    const char* const end = s_ + n_;
    bool at_first = first;
    for (;;) {
      const char* q = p;
      if (!at_first) {
        if (q == end || *q != ',') break;
        ++q;
      }
      if (q == end || *q != '"') break;
      // The closing quote, with room behind it for ':', nine digits and the
      // byte after them (a '"' just past the scanned blocks is the closing
      // quote too: every byte before it is plain).
      const char* const close = skip_plain_blocks(q + 1, end);
      if (end - close < 12 || *close != '"' || close[1] != ':') break;
      const char* d = close + 2;
      uint32_t value = static_cast<uint32_t>(static_cast<unsigned char>(*d) - '0');
      if (value > 9) break;
      ++d;
      if (value != 0) {
        const char* const stop = close + 11;
        while (d < stop && is_digit(*d)) value = value * 10 + static_cast<uint32_t>(*d++ - '0');
      }
      if (*d != ',' && *d != '}') break;
      on_member(std::string_view(q + 1, static_cast<size_t>(close - q - 1)), static_cast<int32_t>(value));
      p = d;
      at_first = false;
    }
    i_ = static_cast<size_t>(p - s_);
    first = at_first;
  }

  // Reads the rest of a string whose opening quote has been consumed. With
  // kKeep, returns its decoded content: a view into the piece when the
  // string lies in it whole and holds no escape, else a view of scratch_.
  // Either is valid until the next string is read.
  template <bool kKeep>
  std::string_view read_string() {
    const size_t start = i_;
    skip_plain();
    if (i_ < n_ && s_[i_] == '"') [[likely]] {
      return std::string_view(s_ + start, i_++ - start);
    }
    return read_string_rest<kKeep>(start);
  }

  // read_string past the first byte that is not plain content, or across
  // the end of a piece.
  template <bool kKeep>
  [[gnu::noinline]] std::string_view read_string_rest(size_t start) {
    bool gathered = false;  // the content so far is in scratch_
    const auto gather = [&] {
      if constexpr (kKeep) {
        if (!gathered) scratch_.clear();
        scratch_.append(s_ + start, i_ - start);
      }
      gathered = true;
    };
    for (;;) {
      if (i_ >= n_) {
        gather();
        if (!more()) fail_end(Syntax::kEofString);
        start = 0;
        skip_plain();
        continue;
      }
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        std::string_view out;
        if constexpr (kKeep) {
          if (gathered) {
            scratch_.append(s_ + start, i_ - start);
            out = scratch_;
          } else {
            out = std::string_view(s_ + start, i_ - start);
          }
        }
        ++i_;
        return out;
      }
      if (c == '\\') {
        gather();
        ++i_;
        read_escape<kKeep>();
        start = i_;
        skip_plain();
        continue;
      }
      ++i_;
      fail_after(Syntax::kControlCharacter, c);
    }
  }

  template <bool kKeep>
  void read_escape() {
    if (!avail()) fail_end(Syntax::kEofString);
    const unsigned char c = static_cast<unsigned char>(s_[i_++]);
    char decoded;
    switch (c) {
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      case '/': decoded = '/'; break;
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': read_unicode_escape<kKeep>(); return;
      default: fail_after(Syntax::kInvalidEscape, c);
    }
    if constexpr (kKeep) scratch_ += decoded;
  }

  // Four hex digits: all four must be there before any is judged.
  uint32_t read_hex4() {
    const uint64_t start = pos();
    unsigned char digits[4];
    for (int k = 0; k < 4; ++k) {
      if (!avail()) {
        // The text ends here; line feeds among the bytes taken count.
        for (int j = 0; j < k; ++j) {
          if (digits[j] == '\n') {
            ++line_;
            line_start_ = start + static_cast<uint64_t>(j) + 1;
          }
        }
        fail_end(Syntax::kEofString);
      }
      digits[k] = static_cast<unsigned char>(s_[i_++]);
    }
    uint32_t value = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hex_value(digits[k]);
      if (digit < 0) fail(Syntax::kInvalidEscape, start + static_cast<uint64_t>(k) + 1, digits[k]);
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
  }

  // After "\u": four hex digits, and for a high surrogate a second "\u"
  // escape holding the low surrogate.
  template <bool kKeep>
  void read_unicode_escape() {
    uint32_t cp = read_hex4();
    if (cp >= 0xdc00 && cp <= 0xdfff) fail(Syntax::kLoneLeadingSurrogate, pos());
    if (cp >= 0xd800 && cp <= 0xdbff) {
      for (const char expected : {'\\', 'u'}) {
        if (!avail()) fail_end(Syntax::kEofString);
        const unsigned char c = static_cast<unsigned char>(s_[i_++]);
        if (c != expected) fail_after(Syntax::kUnexpectedEndOfHexEscape, c);
      }
      const uint32_t low = read_hex4();
      if (low < 0xdc00 || low > 0xdfff) fail(Syntax::kLoneLeadingSurrogate, pos());
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    if constexpr (kKeep) append_utf8(scratch_, cp);
  }

  // The rest of a literal whose first letter has been consumed.
  void read_ident(const char* rest) {
    for (; *rest != '\0'; ++rest) {
      if (!avail()) fail_end(Syntax::kEofValue);
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c != static_cast<unsigned char>(*rest)) fail_after(Syntax::kExpectedIdent, c);
    }
  }

  // The next byte if it is a digit, consumed and kept in number_.
  bool take_digit() {
    if (!avail() || !is_digit(s_[i_])) return false;
    number_ += s_[i_++];
    return true;
  }

  // Reads a number whose minus sign, if any, has been consumed. Integers
  // that fit 64 bits stay integers; all other numbers become doubles.
  Number read_number(bool negative) {
    number_.assign(negative ? "-" : "");
    if (!avail()) fail_end(Syntax::kEofValue);
    const unsigned char first = static_cast<unsigned char>(s_[i_++]);
    uint64_t significand = 0;
    if (first == '0') {
      number_ += '0';
      if (avail() && is_digit(s_[i_])) fail_peek(Syntax::kInvalidNumber);
    } else if (first >= '1' && first <= '9') {
      number_ += static_cast<char>(first);
      significand = first - '0';
      while (avail() && is_digit(s_[i_])) {
        const uint64_t digit = static_cast<uint64_t>(s_[i_] - '0');
        if (significand > (std::numeric_limits<uint64_t>::max() - digit) / 10) return read_float_rest(negative, true);
        significand = significand * 10 + digit;
        number_ += s_[i_++];
      }
    } else {
      fail_after(Syntax::kInvalidNumber, first);
    }
    if (avail() && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) return read_float_rest(negative, significand != 0);
    Number n;
    if (!negative) {
      n.kind = Number::Kind::kUnsigned;
      n.u = significand;
    } else if (significand > (uint64_t{1} << 63)) {
      // Integers below the signed range are doubles.
      n = float_number(-static_cast<double>(significand));
    } else {
      n.kind = Number::Kind::kSigned;
      n.i = static_cast<int64_t>(~significand + 1);
    }
    return n;
  }

  // The remaining integer digits, fraction and exponent of a number that is
  // a double; `nonzero` tells whether a nonzero digit has been seen.
  Number read_float_rest(bool negative, bool nonzero) {
    while (take_digit()) {
    }
    if (avail() && s_[i_] == '.') {
      number_ += s_[i_++];
      bool digits = false;
      while (take_digit()) {
        nonzero |= number_.back() != '0';
        digits = true;
      }
      if (!digits) {
        if (avail()) fail_peek(Syntax::kInvalidNumber);
        fail_end(Syntax::kEofValue);
      }
    }
    if (avail() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      number_ += s_[i_++];
      bool positive_exponent = true;
      if (avail() && (s_[i_] == '+' || s_[i_] == '-')) {
        positive_exponent = s_[i_] == '+';
        number_ += s_[i_++];
      }
      if (!avail()) fail_end(Syntax::kEofValue);
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (!is_digit(c)) fail_after(Syntax::kInvalidNumber, c);
      number_ += static_cast<char>(c);
      int32_t exponent = c - '0';
      while (avail() && is_digit(s_[i_])) {
        const int32_t digit = s_[i_] - '0';
        number_ += s_[i_++];
        if (exponent > (std::numeric_limits<int32_t>::max() - digit) / 10) {
          // An exponent beyond 32 bits: infinite or zero.
          if (nonzero && positive_exponent) fail(Syntax::kNumberOutOfRange, pos());
          while (avail() && is_digit(s_[i_])) ++i_;
          return float_number(negative ? -0.0 : 0.0);
        }
        exponent = exponent * 10 + digit;
      }
    }
    const double value = parse_double(number_);
    if (std::isinf(value)) fail(Syntax::kNumberOutOfRange, pos());
    return float_number(value);
  }

  // The correctly rounded double of `text`, infinite when it overflows.
  static double parse_double(const std::string& text) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec == std::errc() && result.ptr == end) return value;
    // Out of range: strtod tells overflow (infinity) from underflow.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(text.c_str(), nullptr, c_locale);
  }

  // Reports a value found where `expected` was wanted, after reading the
  // value if it is a scalar. The cursor is on the value's first byte.
  [[noreturn, gnu::cold, gnu::noinline]] void invalid_type(const char* expected) {
    std::string found;
    const unsigned char c = avail() ? static_cast<unsigned char>(s_[i_]) : 0;
    switch (c) {
      case 'n': ++i_; read_ident("ull"); found = "null"; break;
      case 't': ++i_; read_ident("rue"); found = "boolean `true`"; break;
      case 'f': ++i_; read_ident("alse"); found = "boolean `false`"; break;
      case '-': ++i_; found = describe(read_number(true)); break;
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        found = describe(read_number(false));
        break;
      case '"':
        ++i_;
        found = "string " + quoted(read_string<true>());
        break;
      case '[': found = "sequence"; break;
      case '{': found = "map"; break;
      default: fail_peek(Syntax::kExpectedValue);
    }
    fail("invalid type: " + found + ", expected " + expected, pos());
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
          if (peek_ws() == ']') fail_peek(Syntax::kTrailingComma);
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
      } else if (c == '}') {
        fail_peek(Syntax::kTrailingComma);  // reached only after a comma
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
    if (!avail()) fail_end(Syntax::kInvalidNumber);
    const unsigned char first = static_cast<unsigned char>(s_[i_++]);
    if (first == '0') {
      if (avail() && is_digit(s_[i_])) fail_peek(Syntax::kInvalidNumber);
    } else if (first >= '1' && first <= '9') {
      while (avail() && is_digit(s_[i_])) ++i_;
    } else {
      fail_after(Syntax::kInvalidNumber, first);
    }
    if (avail() && s_[i_] == '.') {
      ++i_;
      bool digits = false;
      while (avail() && is_digit(s_[i_])) {
        ++i_;
        digits = true;
      }
      if (!digits) fail_peek(Syntax::kInvalidNumber);
    }
    if (avail() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (avail() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!avail()) fail_end(Syntax::kInvalidNumber);
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (!is_digit(c)) fail_after(Syntax::kInvalidNumber, c);
      while (avail() && is_digit(s_[i_])) ++i_;
    }
  }

  TextChunks* chunks_ = nullptr;  // null once the text has ended (or when it came whole)
  const char* s_ = "";
  size_t n_ = 0;
  size_t i_ = 0;
  uint64_t base_ = 0;
  uint64_t line_ = 1;
  uint64_t line_start_ = 0;  // offset of the first byte after the last line feed
  // Called before the current piece is given up, while views of it are
  // still readable.
  void (*piece_ends_)(void*) = nullptr;
  void* piece_ends_context_ = nullptr;
  std::string scratch_;
  std::string number_;
  std::vector<uint8_t> frames_;
};

// What differs between the two files.
struct DocumentsFile {
  static constexpr const char* kIdField = "id";
  static constexpr const char* kRecord = "struct Document";
};

struct TokensFile {
  static constexpr const char* kIdField = "text";
  static constexpr const char* kRecord = "struct Token";
};

// One file: an object of key -> record, a record being {"<id>": string,
// "maps": {name: count, ...}} with members in any order and others ignored,
// or [string, maps]. Each record goes to `receiver` as it is read.
template <class File, class Receiver>
class RecordReader : Scanner {
 public:
  RecordReader(std::string_view text, Receiver& receiver) : Scanner(text), receiver_(receiver) { watch_pieces(); }
  RecordReader(TextChunks& text, Receiver& receiver) : Scanner(text), receiver_(receiver) { watch_pieces(); }

  void read(TextPart part = TextPart{}) {
    // A part after the first starts at the ',' before its first record.
    bool first = part.begin == 0;
    if (first) {
      const int c = peek_ws();
      if (c < 0) fail_peek(Syntax::kEofValue);
      if (c != '{') invalid_type("a map");
      ++i_;
    }
    while (next_member(first)) {
      receiver_.begin(read_string<true>());
      colon();
      read_record();
      if (part.end != 0 && part.begin + pos() >= part.end) {
        // The part ends where the next begins, between two records.
        if (part.begin + pos() != part.end) throw MirrorBroken{};
        return;
      }
    }
    if (part.end != 0) throw MirrorBroken{};
    ++i_;
    if (peek_ws() >= 0) fail_peek(Syntax::kTrailingCharacters);
  }

 private:
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
    // The first field named twice. Like a missing field, it is a fault of
    // the record's members, reported just after the record: the rest of
    // the record is read for its syntax only.
    const char* repeated = nullptr;
    while (next_member(first)) {
      const std::string_view name = read_string<true>();
      const bool is_id = name == File::kIdField;
      const bool is_maps = name == "maps";
      if ((is_id && have_id) || (is_maps && have_maps)) {
        if (repeated == nullptr) repeated = is_id ? File::kIdField : "maps";
      }
      colon();
      if (repeated == nullptr && is_id) {
        read_record_id();
        have_id = true;
      } else if (repeated == nullptr && is_maps) {
        read_maps();
        have_maps = true;
      } else {
        skip_value();
      }
    }
    ++i_;
    if (repeated != nullptr) fail(std::string("duplicate field `") + repeated + "`", pos());
    if (!have_id) fail(std::string("missing field `") + File::kIdField + "`", pos());
    if (!have_maps) fail("missing field `maps`", pos());
    receiver_.end();
  }

  void read_record_array() {
    int c = peek_ws();
    if (c == ']') {
      ++i_;
      fail(length_text(0), pos());
    }
    if (c < 0) fail_peek(Syntax::kEofList);
    read_record_id();
    c = peek_ws();
    if (c == ']') {
      ++i_;
      fail(length_text(1), pos());
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
      receiver_.end();
      return;
    }
    if (c == ',') {
      // A third element: only its start is read.
      ++i_;
      c = peek_ws();
      if (c == ']') fail_peek(Syntax::kTrailingComma);
      if (c < 0) fail_peek(Syntax::kEofValue);
      fail_peek(Syntax::kTrailingCharacters);
    }
    if (c < 0) fail_peek(Syntax::kEofList);
    fail_peek(Syntax::kExpectedListCommaOrEnd);
  }

  static std::string length_text(int count) {
    return "invalid length " + std::to_string(count) + ", expected " + File::kRecord + " with 2 elements";
  }

  void read_record_id() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c != '"') invalid_type("a string");
    ++i_;
    receiver_.id(read_string<true>());
  }

  // A receiver that keeps views of names until its settle() is told when
  // a piece ends, and settles after each name that the general reading
  // gives (which may lie in scratch_, rewritten by the next string).
  static constexpr bool kSettles = requires(Receiver& r) { r.settle(); };
  void watch_pieces() {
    if constexpr (kSettles) {
      piece_ends_ = [](void* receiver) { static_cast<Receiver*>(receiver)->settle(); };
      piece_ends_context_ = &receiver_;
    }
  }

  void read_maps() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c != '{') invalid_type("a map");
    ++i_;
    bool first = true;
    for (;;) {
      read_plain_members(first, [this](std::string_view name, int32_t count) {
        // A plain member's name is followed by at least 12 bytes of the
        // piece (its closing quote, ':' and ten more): a receiver may read
        // past it.
        if constexpr (requires { receiver_.padded_name(name); }) {
          static_assert(DigestKey::kPadding <= 12);
          receiver_.padded_name(name);
        } else {
          receiver_.name(name);
        }
        receiver_.count(count);
      });
      if (!next_member(first)) break;
      receiver_.name(read_string<true>());
      if constexpr (kSettles) receiver_.settle();
      colon();
      receiver_.count(read_count());
    }
    ++i_;
  }

  int32_t read_count() {
    const int c = peek_ws();
    if (c < 0) fail_peek(Syntax::kEofValue);
    if (c >= '0' && c <= '9') {
      // Fast path: up to 9 digits without sign, fraction or exponent (so
      // the value fits), no leading zero before another digit, ended within
      // this piece.
      const char* const first = s_ + i_;
      const char* const end = s_ + n_;
      const char* const stop = end - first > 9 ? first + 9 : end;
      uint32_t value = static_cast<uint32_t>(c - '0');
      const char* p = first + 1;
      if (c != '0') {
        while (p < stop && is_digit(*p)) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
      }
      if (p < end && !is_digit(*p) && *p != '.' && *p != 'e' && *p != 'E') [[likely]] {
        i_ = static_cast<size_t>(p - s_);
        return static_cast<int32_t>(value);
      }
    }
    bool negative = false;
    if (c == '-') {
      negative = true;
      ++i_;
    } else if (!is_digit(c)) {
      invalid_type("i32");
    }
    const Number n = read_number(negative);
    switch (n.kind) {
      case Number::Kind::kUnsigned:
        if (n.u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return static_cast<int32_t>(n.u);
        break;
      case Number::Kind::kSigned:
        if (n.i >= std::numeric_limits<int32_t>::min()) return static_cast<int32_t>(n.i);
        break;
      case Number::Kind::kFloat:
        fail("invalid type: " + describe(n) + ", expected i32", pos());
    }
    fail("invalid value: " + describe(n) + ", expected i32", pos());
  }

  Receiver& receiver_;
};

// The builder's record calls for each file. The names and identifiers are
// copied: the builder takes a name with its count.
struct BuilderDocuments {
  IndexBuilder& builder;
  std::string record_id;
  std::string name_text;
  void begin(std::string_view key) { builder.begin_document(key); }
  void id(std::string_view text) { record_id.assign(text); }
  void name(std::string_view text) { name_text.assign(text); }
  void count(int32_t value) { builder.document_count(name_text, value); }
  void end() { builder.end_document(record_id); }
};

struct BuilderTokens {
  IndexBuilder& builder;
  std::string record_text;
  std::string name_text;
  void begin(std::string_view key) { builder.begin_token(key); }
  void id(std::string_view text) { record_text.assign(text); }
  void name(std::string_view text) { name_text.assign(text); }
  void count(int32_t value) { builder.token_count(name_text, value); }
  void end() { builder.end_token(record_text); }
};

template <class File, class Receiver, class Text>
void read_text(Text& text, Receiver& receiver, TextPart part = TextPart{}) {
  RecordReader<File, Receiver>(text, receiver).read(part);
}

}  // namespace

void decode_documents(std::string_view text, IndexBuilder& builder) {
  BuilderDocuments receiver{builder, {}, {}};
  read_text<DocumentsFile>(text, receiver);
}

void decode_documents(TextChunks& text, IndexBuilder& builder) {
  BuilderDocuments receiver{builder, {}, {}};
  read_text<DocumentsFile>(text, receiver);
}

void decode_tokens(std::string_view text, IndexBuilder& builder) {
  BuilderTokens receiver{builder, {}, {}};
  read_text<TokensFile>(text, receiver);
}

void decode_tokens(TextChunks& text, IndexBuilder& builder) {
  BuilderTokens receiver{builder, {}, {}};
  read_text<TokensFile>(text, receiver);
}

void decode_documents(TextChunks& text, MirrorDocumentsPart& documents, TextPart part) {
  read_text<DocumentsFile>(text, documents, part);
  documents.settle();
}

void decode_tokens(TextChunks& text, MirrorTokensPart& tokens, TextPart part) {
  read_text<TokensFile>(text, tokens, part);
  tokens.flush();
}

}  // namespace vantoro::persist
