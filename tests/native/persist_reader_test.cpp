// The saved-index reader: what it accepts, and the exact description and
// position of every fault.
#include <string>
#include <vector>

#include "index/builder.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "check.hpp"
#include "persist_test_util.hpp"

using namespace vantoro;
using namespace vantoro::persist;

namespace {

// "OK " and the re-encoded result, or the error's text form.
std::string read_documents(std::string_view text) {
  IndexBuilder builder;
  try {
    decode_documents(text, builder);
  } catch (const FormatError& e) {
    return e.text();
  }
  return "OK " + encode_documents(builder.take()).str();
}

std::string read_tokens(std::string_view text) {
  IndexBuilder builder;
  try {
    decode_tokens(text, builder);
  } catch (const FormatError& e) {
    return e.text();
  }
  return "OK " + encode_tokens(builder.take()).str();
}

std::string error(const std::string& description, int line, int column) {
  std::string quoted;
  for (char c : description) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return "Error(\"" + quoted + "\", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
}

struct Case {
  std::string text;
  std::string expected;
};

// A documents text whose only record has a maps member holding "a": value.
std::string with_count(const std::string& value) { return R"({"d1":{"id":"d1","maps":{"a":)" + value + "}}}"; }
// The column just after that value.
int after_count(const std::string& value) { return 29 + static_cast<int>(value.size()); }

TEST(accepted_forms) {
  const std::vector<Case> cases = {
      {"{}", "OK {}"},
      {" \t\r\n{ }\n  ", "OK {}"},
      {R"({"d1":{"id":"d1","maps":{"a":2,"b":1}}})", R"(OK {"d1":{"id":"d1","maps":{"a":2,"b":1}}})"},
      // Array form, members in any order, ignored members of any kind.
      {R"({"d1":["d1",{"a":1}]})", R"(OK {"d1":{"id":"d1","maps":{"a":1}}})"},
      {R"({"d1":{"maps":{},"id":"d1","extra":[1,{"x":null}],"t":true,"f":false,"n":-1.5e+3,"s":"\u00e9"}})",
       R"(OK {"d1":{"id":"d1","maps":{}}})"},
      // An ignored number is only checked for syntax.
      {R"({"d1":{"x":1e400,"id":"d1","maps":{}}})", R"(OK {"d1":{"id":"d1","maps":{}}})"},
      // The record's id need not equal its key.
      {R"({"d1":{"id":"zz","maps":{}}})", R"(OK {"d1":{"id":"zz","maps":{}}})"},
      // Later keys replace earlier ones, outside and inside records.
      {R"({"d1":{"id":"x","maps":{"a":1}},"d1":{"id":"d1","maps":{"b":2}}})", R"(OK {"d1":{"id":"d1","maps":{"b":2}}})"},
      {R"({"d1":{"id":"d1","maps":{"a":1,"b":3,"a":5}}})", R"(OK {"d1":{"id":"d1","maps":{"a":5,"b":3}}})"},
      // Counts over the whole signed 32-bit range.
      {with_count("-2147483648"), R"(OK {"d1":{"id":"d1","maps":{"a":-2147483648}}})"},
      {with_count("2147483647"), R"(OK {"d1":{"id":"d1","maps":{"a":2147483647}}})"},
      {with_count("0"), R"(OK {"d1":{"id":"d1","maps":{"a":0}}})"},
      {with_count("-0"), R"(OK {"d1":{"id":"d1","maps":{"a":0}}})"},
      // Escapes are decoded, names compared after decoding.
      {R"({"\u0041\n\"\\\/\b\f\r\t\u00E9\ud83d\ude00":{"\u0069d":"\u0000","m\u0061ps":{}}})",
       "OK {\"A\\n\\\"\\\\/\\b\\f\\r\\t\xc3\xa9\xf0\x9f\x98\x80\":{\"id\":\"\\u0000\",\"maps\":{}}}"},
      {"{\"\":{\"id\":\"\",\"maps\":{\"\":7}}}", "OK {\"\":{\"id\":\"\",\"maps\":{\"\":7}}}"},
  };
  for (const Case& c : cases) EXPECT_TEXT(read_documents(c.text), c.expected);

  EXPECT_TEXT(read_tokens(R"({"a":{"text":"a","maps":{"d1":2}},"b":["b",{"d1":1,"d2":-3}]})"),
           std::string(R"(OK {"a":{"text":"a","maps":{"d1":2}},"b":{"text":"b","maps":{"d1":1,"d2":-3}}})"));
}

TEST(faults_of_syntax) {
  const std::vector<Case> cases = {
      {"", error("EOF while parsing a value", 1, 0)},
      {"   ", error("EOF while parsing a value", 1, 3)},
      {"\xef\xbb\xbf{}", error("expected value", 1, 1)},
      {"{}x", error("trailing characters", 1, 3)},
      {"{} {}", error("trailing characters", 1, 4)},
      {"{", error("EOF while parsing an object", 1, 1)},
      {R"({"d1")", error("EOF while parsing an object", 1, 5)},
      {R"({"d1" 1)", error("expected `:`", 1, 7)},
      {R"({"d1":)", error("EOF while parsing a value", 1, 6)},
      {R"({"d1":})", error("expected value", 1, 7)},
      {R"({"d1":{"id":"d1","maps":{}})", error("EOF while parsing an object", 1, 27)},
      {R"({"d1":{"id":"d1","maps":{}},)", error("EOF while parsing a value", 1, 28)},
      {R"({"d1":{"id":"d1","maps":{}},})", error("trailing comma", 1, 29)},
      {R"({"d1":{"id":"d1","maps":{}} x)", error("expected `,` or `}`", 1, 29)},
      {R"({1:2})", error("key must be a string", 1, 2)},
      {R"({,})", error("key must be a string", 1, 2)},
      {R"({"d1":{"id":"d1","maps":{"a":1,}}})", error("trailing comma", 1, 32)},
      {R"({"d1":{"id":"d1" "maps":{}}})", error("expected `,` or `}`", 1, 18)},
      // Array-form records.
      {R"({"d1":[)", error("EOF while parsing a list", 1, 7)},
      {R"({"d1":["d1" {}]})", error("expected `,` or `]`", 1, 13)},
      {R"({"d1":["d1",)", error("EOF while parsing a value", 1, 12)},
      {R"({"d1":["d1",]})", error("trailing comma", 1, 13)},
      {R"({"d1":["d1",{})", error("EOF while parsing a list", 1, 14)},
      {R"({"d1":["d1",{},]})", error("trailing comma", 1, 16)},
      {R"({"d1":["d1",{},3]})", error("trailing characters", 1, 16)},
      {R"({"d1":["d1",{} x]})", error("expected `,` or `]`", 1, 16)},
      {R"({"d1":["d1",{},)", error("EOF while parsing a value", 1, 15)},
      {R"({"d1":["d1",{}, 3]})", error("trailing characters", 1, 17)},
      // Literals.
      {R"({"d1":tru})", error("expected ident", 1, 10)},
      {R"({"d1":nul)", error("EOF while parsing a value", 1, 9)},
      {R"({"d1":{"x":fals,"id":"d1","maps":{}}})", error("expected ident", 1, 16)},
      // Strings.
      {R"({"a)", error("EOF while parsing a string", 1, 3)},
      {R"({"\x")", error("invalid escape", 1, 4)},
      {R"({"\u00G0")", error("invalid escape", 1, 7)},
      {R"({"\u00)", error("EOF while parsing a string", 1, 6)},
      {R"({"\)", error("EOF while parsing a string", 1, 3)},
      {"{\"a\x01\"", error("control character (\\u0000-\\u001F) found while parsing a string", 1, 4)},
      {"{\"a\n\"", error("control character (\\u0000-\\u001F) found while parsing a string", 2, 0)},
      {R"({"\ud800")", error("unexpected end of hex escape", 1, 9)},
      {R"({"\ud800\n")", error("unexpected end of hex escape", 1, 10)},
      {R"({"\ud800)", error("EOF while parsing a string", 1, 8)},
      {R"({"\udc00")", error("lone leading surrogate in hex escape", 1, 8)},
      {R"({"\ud800\u0041")", error("lone leading surrogate in hex escape", 1, 14)},
      {R"({"\ud800\ud800")", error("lone leading surrogate in hex escape", 1, 14)},
      // Numbers in counts.
      {with_count("01"), error("invalid number", 1, 31)},
      {with_count("-}"), error("invalid number", 1, 31)},
      {with_count("1.}"), error("invalid number", 1, 32)},
      {with_count("1e}"), error("invalid number", 1, 32)},
      {with_count("1e+}"), error("invalid number", 1, 33)},
      {with_count("1e400"), error("number out of range", 1, after_count("1e400"))},
      {with_count("-1e400"), error("number out of range", 1, after_count("-1e400"))},
      {with_count("1e99999999999"), error("number out of range", 1, 29 + 12)},
      {R"({"d1":{"id":"d1","maps":{"a":-)", error("EOF while parsing a value", 1, 30)},
      {R"({"d1":{"id":"d1","maps":{"a":1.)", error("EOF while parsing a value", 1, 31)},
      // Numbers and strings in ignored members: syntax only.
      {R"({"d1":{"x":01}})", error("invalid number", 1, 13)},
      {R"({"d1":{"x":1.e5}})", error("invalid number", 1, 14)},
      {R"({"d1":{"x":"\q"}})", error("invalid escape", 1, 14)},
      {R"({"d1":{"x":"\udc00"}})", error("lone leading surrogate in hex escape", 1, 18)},
      // Ignored values: a comma before "]" or "}" is a trailing comma there too.
      {R"({"d1":{"id":"d1","maps":{},"x":[1,]}})", error("trailing comma", 1, 35)},
      {R"({"d1":{"id":"d1","maps":{},"x":{"a":1,}}})", error("trailing comma", 1, 39)},
      {R"({"d1":{"x":[[1, ],2]}})", error("trailing comma", 1, 17)},
      {R"({"d1":{"x":[,]}})", error("expected value", 1, 13)},
      {R"({"d1":{"x":{,}}})", error("key must be a string", 1, 13)},
      {R"({"d1":{"x":[1 2]}})", error("expected `,` or `]`", 1, 15)},
      {R"({"d1":{"x":{"a" 1}}})", error("expected `:`", 1, 17)},
      {R"({"d1":{"x":{"a":1 "b":2}}})", error("expected `,` or `}`", 1, 19)},
      {R"({"d1":{"x":{1:2}}})", error("key must be a string", 1, 13)},
      {R"({"d1":{"x":[)", error("EOF while parsing a list", 1, 12)},
      {R"({"d1":{"x":{)", error("EOF while parsing an object", 1, 12)},
      {R"({"d1":{"x":{"a":1,)", error("EOF while parsing a value", 1, 18)},
      {R"({"d1":{"x":[1,)", error("EOF while parsing a value", 1, 14)},
      {R"({"d1":{"x":])", error("expected value", 1, 12)},
  };
  for (const Case& c : cases) EXPECT_TEXT(read_documents(c.text), c.expected);
}

TEST(faults_of_kind_range_length_members) {
  const std::vector<Case> cases = {
      {"[]", error("invalid type: sequence, expected a map", 1, 0)},
      {"  \n [1]", error("invalid type: sequence, expected a map", 2, 1)},
      {"null", error("invalid type: null, expected a map", 1, 4)},
      {"\"x\"", error("invalid type: string \"x\", expected a map", 1, 3)},
      {R"({"d1":5})", error("invalid type: integer `5`, expected struct Document", 1, 7)},
      {R"({"d1":-5})", error("invalid type: integer `-5`, expected struct Document", 1, 8)},
      {R"({"d1":true})", error("invalid type: boolean `true`, expected struct Document", 1, 10)},
      {R"({"d1":false})", error("invalid type: boolean `false`, expected struct Document", 1, 11)},
      {R"({"d1":"x"})", error("invalid type: string \"x\", expected struct Document", 1, 9)},
      {R"({"d1":1.5})", error("invalid type: floating point `1.5`, expected struct Document", 1, 9)},
      {R"({"d1":{"id":null,"maps":{}}})", error("invalid type: null, expected a string", 1, 16)},
      {R"({"d1":{"id":7,"maps":{}}})", error("invalid type: integer `7`, expected a string", 1, 13)},
      {R"({"d1":{"id":-0,"maps":{}}})", error("invalid type: integer `-0`, expected a string", 1, 14)},
      {R"({"d1":{"id":-0.0,"maps":{}}})", error("invalid type: floating point `-0`, expected a string", 1, 16)},
      {R"({"d1":{"id":{},"maps":{}}})", error("invalid type: map, expected a string", 1, 12)},
      {R"({"d1":{"id":"d1","maps":[]}})", error("invalid type: sequence, expected a map", 1, 24)},
      {R"({"d1":{"id":"d1","maps":"m"}})", error("invalid type: string \"m\", expected a map", 1, 27)},
      {R"({"d1":[7,{}]})", error("invalid type: integer `7`, expected a string", 1, 8)},
      {R"({"d1":["d1",[]]})", error("invalid type: sequence, expected a map", 1, 12)},
      // Counts.
      {with_count("\"3\""), error("invalid type: string \"3\", expected i32", 1, after_count("\"3\""))},
      {with_count("\"a\\\"b\\\\\\t\""),
       error("invalid type: string \"a\\\"b\\\\\\t\", expected i32", 1, after_count("\"a\\\"b\\\\\\t\""))},
      {with_count("null"), error("invalid type: null, expected i32", 1, after_count("null"))},
      {with_count("{}"), error("invalid type: map, expected i32", 1, 29)},
      {with_count("2147483648"), error("invalid value: integer `2147483648`, expected i32", 1, after_count("2147483648"))},
      {with_count("-2147483649"), error("invalid value: integer `-2147483649`, expected i32", 1, after_count("-2147483649"))},
      {with_count("18446744073709551615"),
       error("invalid value: integer `18446744073709551615`, expected i32", 1, after_count("18446744073709551615"))},
      {with_count("-9223372036854775808"),
       error("invalid value: integer `-9223372036854775808`, expected i32", 1, after_count("-9223372036854775808"))},
      {with_count("18446744073709551616"),
       error("invalid type: floating point `18446744073709552000`, expected i32", 1, after_count("18446744073709551616"))},
      {with_count("-9223372036854775809"),
       error("invalid type: floating point `-9223372036854776000`, expected i32", 1, after_count("-9223372036854775809"))},
      {with_count("1.0"), error("invalid type: floating point `1`, expected i32", 1, after_count("1.0"))},
      {with_count("1.5"), error("invalid type: floating point `1.5`, expected i32", 1, after_count("1.5"))},
      {with_count("1e20"), error("invalid type: floating point `100000000000000000000`, expected i32", 1, after_count("1e20"))},
      {with_count("2.5e-3"), error("invalid type: floating point `0.0025`, expected i32", 1, after_count("2.5e-3"))},
      {with_count("1E-400"), error("invalid type: floating point `0`, expected i32", 1, after_count("1E-400"))},
      {with_count("-0.0"), error("invalid type: floating point `-0`, expected i32", 1, after_count("-0.0"))},
      {with_count("0.1e-99999999999"), error("invalid type: floating point `0`, expected i32", 1, after_count("0.1e-99999999999"))},
      {with_count("0e99999999999"), error("invalid type: floating point `0`, expected i32", 1, after_count("0e99999999999"))},
      {with_count("123456789012345678901234567890"),
       error("invalid type: floating point `123456789012345680000000000000`, expected i32", 1,
             after_count("123456789012345678901234567890"))},
      // Lengths and members.
      {R"({"d1":[]})", error("invalid length 0, expected struct Document with 2 elements", 1, 8)},
      {R"({"d1":["d1"]})", error("invalid length 1, expected struct Document with 2 elements", 1, 12)},
      {R"({"d1":["d1" ]})", error("invalid length 1, expected struct Document with 2 elements", 1, 13)},
      {R"({"d1":{"id":"d1"}})", error("missing field `maps`", 1, 17)},
      {R"({"d1":{"maps":{}}})", error("missing field `id`", 1, 17)},
      {R"({"d1":{}})", error("missing field `id`", 1, 8)},
      {R"({"d1":{"id":"a","id":"b","maps":{}}})", error("duplicate field `id`", 1, 35)},
      {R"({"d1":{"id":"a","maps":{},"maps":{}}})", error("duplicate field `maps`", 1, 36)},
      // The first repeated field is reported, after the record; the rest of
      // the record is read for its syntax only.
      {R"({"d1":{"maps":{},"maps":{"a":"x"},"id":1,"id":2}})", error("duplicate field `maps`", 1, 48)},
      {R"({"d1":{"id":"a","id":"b"}})", error("duplicate field `id`", 1, 25)},
      {R"({"d1":{"id":"a","id":"b","maps":{}},"d2":{}})", error("duplicate field `id`", 1, 35)},
      {R"({"d1":{"id":"a","maps":{},"maps"}})", error("expected `:`", 1, 33)},
      {R"({"d1":{"id":"a","id":[1,]}})", error("trailing comma", 1, 25)},
      {"{\n  \"d1\": {\"id\": \"d1\"}\n}", error("missing field `maps`", 2, 20)},
  };
  for (const Case& c : cases) EXPECT_TEXT(read_documents(c.text), c.expected);

  // The token file names its own record and identifier member.
  EXPECT_TEXT(read_tokens(R"({"a":5})"), error("invalid type: integer `5`, expected struct Token", 1, 6));
  EXPECT_TEXT(read_tokens(R"({"a":["a"]})"), error("invalid length 1, expected struct Token with 2 elements", 1, 10));
  EXPECT_TEXT(read_tokens(R"({"a":{"maps":{}}})"), error("missing field `text`", 1, 16));
  EXPECT_TEXT(read_tokens(R"({"a":{"id":"a","maps":{}}})"), error("missing field `text`", 1, 25));
  EXPECT_TEXT(read_tokens(R"({"a":{"text":"a","text":"a","maps":{}}})"), error("duplicate field `text`", 1, 38));
}

TEST(description_quoting) {
  // Control characters in a quoted string become escapes, both in the
  // description and again in the text form.
  EXPECT_TEXT(read_documents("{\"d1\":\"a\\u0001\\n\\u007f\\u0085\xc3\xa9\"}"),
           std::string("Error(\"invalid type: string \\\"a\\\\u{1}\\\\n\\\\u{7f}\\\\u{85}\xc3\xa9\\\", expected struct Document\", "
                       "line: 1, column: 31)"));
  FormatError e("a\"b\\c\td\x01", 3, 4);
  EXPECT_TEXT(e.text(), std::string("Error(\"a\\\"b\\\\c\\td\\u{1}\", line: 3, column: 4)"));
}

TEST(deep_ignored_values) {
  // Nesting depth is limited by memory only, not by the call stack.
  const size_t depth = 1'000'000;
  std::string deep = R"({"d1":{"id":"d1","maps":{},"x":)";
  deep.append(depth, '[');
  deep.append(depth, ']');
  deep += "}}";
  EXPECT_TEXT(read_documents(deep), std::string(R"(OK {"d1":{"id":"d1","maps":{}}})"));

  std::string objects = R"({"d1":{"id":"d1","maps":{},"x":)";
  for (size_t i = 0; i < depth; ++i) objects += "{\"k\":[";
  for (size_t i = 0; i < depth; ++i) objects += "]}";
  objects += "}}";
  EXPECT_TEXT(read_documents(objects), std::string(R"(OK {"d1":{"id":"d1","maps":{}}})"));

  std::string open = R"({"d1":{"x":)";
  open.append(depth, '[');
  EXPECT_TEXT(read_documents(open), error("EOF while parsing a list", 1, static_cast<int>(open.size())));
}

}  // namespace

namespace {

TEST(long_records_and_escaped_names_across_batches) {
  // Names with and without escapes, records longer than any internal batch,
  // ids with escapes: the result must equal the plain reading.
  std::string text = "{";
  std::string expected = "{";
  for (int r = 0; r < 40; ++r) {
    if (r) {
      text += ',';
      expected += ',';
    }
    const std::string key = "k" + std::to_string(r);
    text += "\"" + key + "\":{\"maps\":{";
    expected += "\"" + key + "\":{\"id\":\"\xc3\xa9" + std::to_string(r) + "\",\"maps\":{";
    const int entries = r % 3 == 0 ? 3000 : r;
    for (int e = 0; e < entries; ++e) {
      if (e) {
        text += ',';
        expected += ',';
      }
      const bool escaped = (e + r) % 3 == 0;
      const std::string n = std::to_string((e * 7 + r) % 5000);
      text += escaped ? "\"t\\u00e9" + n + "\":" : "\"t" + n + "\":";
      expected += escaped ? "\"t\xc3\xa9" + n + "\":" : "\"t" + n + "\":";
      text += std::to_string(e - 5);
      expected += std::to_string(e - 5);
    }
    text += "},\"id\":\"\\u00e9" + std::to_string(r) + "\"}";
    expected += "}}";
  }
  text += "}";
  expected += "}";
  EXPECT_TEXT(read_documents(text), "OK " + expected);
}

}  // namespace

namespace {

// The text read whole, and in pieces of `piece` bytes as a file is read:
// "OK " and the re-encoding, or the error's text form.
std::string read_in_pieces(bool documents, std::string_view text, size_t piece) {
  IndexBuilder builder;
  StringChunks chunks(text, piece);
  try {
    if (documents) {
      piece == 0 ? decode_documents(text, builder) : decode_documents(chunks, builder);
    } else {
      piece == 0 ? decode_tokens(text, builder) : decode_tokens(chunks, builder);
    }
  } catch (const FormatError& e) {
    return e.text();
  }
  return "OK " + (documents ? encode_documents(builder.take()) : encode_tokens(builder.take())).str();
}

TEST(pieces_cut_anywhere_read_as_the_whole_text) {
  // Every name, escape, number and literal below is cut at every place by
  // some piece size; the result, and a fault's line and column, must not
  // depend on where the text was cut.
  const std::vector<std::string> documents = {
      R"({"doc-00000001":{"id":"doc-00000001","maps":{"w12":7,"w3":123456789,"w-":-2147483648}}})",
      "{\"\\u00e9t\\u00C9\\ud83d\\ude00\\n\\\"\\\\\\/\\b\\f\\r\\t\":[\"\\u0041\",{\"a\\u0062c\":2147483647}]}",
      "{ \"d\" :\n { \"x\" : [ true , false , null , -1.5e+3 , 0.25E-2 , 1e400 , \"\\ud800\\udc00\" , { } ] ,\n"
      "  \"maps\" : { \"t\" : 0 } , \"id\" : \"d\" } }\n",
      // Faults: a value, a literal, an escape and a number cut off or bad;
      // a raw line feed in a string, in an escape and in a number.
      R"({"d":{"id":"d","maps":{"t":12)", R"({"d":{"x":tru)", R"({"d\u00)", R"({"d\ud800\u00)",
      "{\"d\":{\"x\":\"a\nb\"}}", "{\"d\\u0\n0\":1}", "{\"d\\u0\n", "{\n\"d\":{\"maps\":{\"t\":1.\n}}}",
      "{\n\"d\":{\"id\":\"d\",\"maps\":{\"t\":3000000000}}}", R"({"d":{"id":"d","maps":{"t":1e99999999999}}})",
      "{\"d\":{\"id\":\"d\",\"maps\":{}}} \n x", "{\"d\":{\"id\":\"\\ud800x\"}}",
  };
  for (const std::string& text : documents) {
    const std::string whole = read_in_pieces(true, text, 0);
    for (size_t piece = 1; piece <= 9; ++piece) EXPECT_TEXT(read_in_pieces(true, text, piece), whole);
  }
  EXPECT_TEXT(read_in_pieces(true, "{\"d\\u0\n", 2), error("EOF while parsing a string", 2, 0));

  const std::string tokens = R"({"w1":{"text":"w1","maps":{"doc-00000001":3,"d\u0032":-7}},"w\n2":["w2",{}]})";
  const std::string whole = read_in_pieces(false, tokens, 0);
  for (size_t piece = 1; piece <= 9; ++piece) EXPECT_TEXT(read_in_pieces(false, tokens, piece), whole);
}

}  // namespace

namespace {

TEST(maps_as_a_save_writes_them_and_every_departure_from_that) {
  // Maps written as a save writes them are read straight from the piece;
  // any member that departs from that form, wherever it stands, must read
  // as it does in small pieces (the general reading), faults included.
  const std::string head = R"({"doc-00000001":{"id":"doc-00000001","maps":{"alpha":1,"a-name-longer-than-sixteen":22,)"
                           R"("a-name-of-more-than-two-blocks-of-sixteen-bytes":333,)";
  const std::string tail = R"("omega":999999999}},"doc-00000002":{"id":"doc-00000002","maps":{"w":4}}})";
  const std::vector<std::string> departures = {
      "",           R"("b":01,)",        R"("b":1234567890,)", R"("b":3000000000,)", R"("b":1.5,)",
      R"("b":1e2,)", R"("b":-1,)",        R"("b" :1,)",         R"("b": 1,)",         R"("b":1 ,)",
      "\"b\n\":1,", R"("b\u0062":1,)",   R"("b\"":1,)",        R"("b":1,,)",         R"("b":0,)",
      R"("b":true,)", R"("b":"1",)",      R"("":5,)",           R"("b":00,)",        R"("b":0123456789,)",
      // A byte that ends plain content inside a name, followed by what
      // would read as the rest of a member.
      R"("b\:1,"x":1,)", "\"b\x01:1,\"x\":1,",
  };
  for (const std::string& departure : departures) {
    const std::string text = head + departure + tail;
    const std::string whole = read_in_pieces(true, text, 0);
    for (const size_t piece : {1, 2, 3, 5, 8, 15, 16, 17, 24, 31, 32, 33, 47, 64, 100}) {
      EXPECT_TEXT(read_in_pieces(true, text, piece), whole);
    }
  }
  EXPECT_TEXT(read_in_pieces(true, head + tail, 0),
              R"(OK {"doc-00000001":{"id":"doc-00000001","maps":{"alpha":1,"a-name-longer-than-sixteen":22,)"
              R"("a-name-of-more-than-two-blocks-of-sixteen-bytes":333,"omega":999999999}},)"
              R"("doc-00000002":{"id":"doc-00000002","maps":{"w":4}}})");
  const std::string leading_zero = head + R"("b":01,)" + tail;
  EXPECT_TEXT(read_in_pieces(true, leading_zero, 0), error("invalid number", 1, static_cast<int>(head.size()) + 6));
  const std::string ten_digits = head + R"("b":3000000000,)" + tail;
  EXPECT_TEXT(read_in_pieces(true, ten_digits, 0),
              error("invalid value: integer `3000000000`, expected i32", 1, static_cast<int>(head.size()) + 14));

  // The same departures in a token text.
  const std::string token_head = R"({"w1":{"text":"w1","maps":{"doc-00000001":3,"doc-00000002":12,)";
  const std::string token_tail = R"("doc-00000003":7}}})";
  for (const std::string& departure : departures) {
    const std::string text = token_head + departure + token_tail;
    const std::string whole = read_in_pieces(false, text, 0);
    for (const size_t piece : {1, 7, 16, 17, 33, 64}) EXPECT_TEXT(read_in_pieces(false, text, piece), whole);
  }
}

}  // namespace
