// The saved-index writer: compact form, escapes, counts, and round trips
// through the reader.
#include <climits>
#include <string>
#include <vector>

#include "check.hpp"
#include "index/builder.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/number_text.hpp"
#include "helped_token_text.hpp"
#include "persist_test_util.hpp"

using namespace vantoro;
using namespace vantoro::persist;

namespace {

std::string documents_of(const Index& index) { return encode_documents(index).str(); }
std::string tokens_of(const Index& index) { return encode_tokens(index).str(); }

// Decodes both texts into one index, as a load does.
Index decode_both(const std::string& documents, const std::string& tokens) {
  IndexBuilder builder;
  decode_documents(documents, builder);
  decode_tokens(tokens, builder);
  return builder.take();
}

TEST(empty_index_and_empty_record) {
  Index empty;
  EXPECT_TEXT(documents_of(empty), "{}");
  EXPECT_TEXT(tokens_of(empty), "{}");

  Index index;
  index.add_document("x", {});
  EXPECT_TEXT(documents_of(index), R"({"x":{"id":"x","maps":{}}})");
  EXPECT_TEXT(tokens_of(index), "{}");
}

TEST(compact_form_of_added_documents) {
  Index index;
  index.add_document("d1", {"a", "b", "a"});
  index.add_document("d2", {"b"});
  EXPECT_TEXT(documents_of(index), R"({"d1":{"id":"d1","maps":{"a":2,"b":1}},"d2":{"id":"d2","maps":{"b":1}}})");
  EXPECT_TEXT(tokens_of(index), R"({"a":{"text":"a","maps":{"d1":2}},"b":{"text":"b","maps":{"d1":1,"d2":1}}})");
}

// Entries of 16 bytes and under, and up to 63 bytes, are kept in slots of
// one size; a longer one puts the whole table in the other form.
TEST(names_of_every_length_around_the_slot_sizes) {
  for (const size_t longest : {12u, 13u, 29u, 60u, 61u, 200u}) {
    Index index;
    std::string expected_tokens = R"({"t":{"text":"t","maps":{)";
    for (const size_t size : {size_t{1}, size_t{11}, longest}) {
      std::string name(size, 'n');
      name.back() = static_cast<char>('a' + size % 26);
      index.add_document(name, {"t", "t"});
      if (size != 1) expected_tokens += ",";
      expected_tokens += "\"" + name + "\":2";
    }
    EXPECT_TEXT(tokens_of(index), expected_tokens + "}}}");
  }
}

TEST(string_escapes) {
  Index index;
  const std::string all_controls = [] {
    std::string s;
    for (int c = 0; c < 0x20; ++c) s += static_cast<char>(c);
    return s;
  }();
  index.add_document("q\"b\\t\t\x01", {"\xc3\xa9/\x7f", all_controls});
  EXPECT_TEXT(documents_of(index),
              "{\"q\\\"b\\\\t\\t\\u0001\":{\"id\":\"q\\\"b\\\\t\\t\\u0001\",\"maps\":{\"\xc3\xa9/\x7f\":1,"
              "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
              "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
              "\\u001e\\u001f\":1}}}");
}

TEST(counts_over_the_whole_range) {
  const std::vector<std::pair<int32_t, std::string>> counts = {
      {INT32_MIN, "-2147483648"}, {-100, "-100"}, {-1, "-1"}, {0, "0"}, {9, "9"}, {10, "10"},
      {99, "99"}, {100, "100"}, {123456, "123456"}, {INT32_MAX, "2147483647"},
  };
  for (const auto& [count, text] : counts) {
    IndexBuilder builder;
    builder.begin_document("d");
    builder.document_count("t", count);
    builder.end_document("other id");
    builder.begin_token("t");
    builder.token_count("d", count);
    builder.end_token("other text");
    const Index index = builder.take();
    EXPECT_TEXT(documents_of(index), R"({"d":{"id":"other id","maps":{"t":)" + text + "}}}");
    EXPECT_TEXT(tokens_of(index), R"({"t":{"text":"other text","maps":{"d":)" + text + "}}}");
  }
}

TEST(round_trip_is_exact) {
  Index index;
  index.add_document("", {"", "", "x"});
  index.add_document("\xf0\x9f\x98\x80 emoji", {"\xe4\xb8\xad\xe6\x96\x87", "a\"b", "back\\slash", std::string_view("nul\0byte", 8)});
  index.add_document("line\nfeed", {"tab\there", "\x1f", "\xc3\xa9"});
  for (int i = 0; i < 200; ++i) index.add_document("doc" + std::to_string(i), {"t" + std::to_string(i % 7), "common"});
  const std::string documents = documents_of(index);
  const std::string tokens = tokens_of(index);

  const Index loaded = decode_both(documents, tokens);
  CHECK_EQ(loaded.document_count(), index.document_count());
  CHECK_EQ(loaded.token_count(), index.token_count());
  EXPECT_TEXT(documents_of(loaded), documents);
  EXPECT_TEXT(tokens_of(loaded), tokens);
}

// Ranges of the token file rendered ahead by a helping thread, down to
// ranges of one posting: the text is the one written alone, whatever the
// helper rendered.
TEST(token_text_rendered_ahead_is_the_text_written_alone) {
  Index index;
  index.add_document("q\"uote", {"a\\b", "\x01", "common"});
  // Enough text (about 2 MB) that the writer is still at work when the
  // helper comes in.
  for (int i = 0; i < 50000; ++i) {
    index.add_document("doc" + std::to_string(i), {"t" + std::to_string(i % 7), "common", "u" + std::to_string(i)});
  }
  const std::string alone = tokens_of(index);
  size_t helped = 0;
  for (const uint64_t range : {uint64_t{1}, uint64_t{7}, uint64_t{500}, uint64_t{1} << 18}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const testing::HelpedTokenText helped_text = testing::encode_tokens_helped(index, range);
      EXPECT_TEXT(helped_text.text, alone);
      helped += helped_text.rendered_ahead;
    }
  }
  CHECK(helped > 0);
}

TEST(round_trip_keeps_records_that_differ_from_their_keys) {
  const std::string documents = R"({"k1":{"id":"other","maps":{"a":-5,"b":0}},"k2":{"id":"","maps":{}}})";
  const std::string tokens = R"({"a":{"text":"A","maps":{"k1":-5,"missing":3}},"zz":{"text":"zz","maps":{}}})";
  const Index loaded = decode_both(documents, tokens);
  EXPECT_TEXT(documents_of(loaded), documents);
  EXPECT_TEXT(tokens_of(loaded), tokens);
}

TEST(plain_decimal_numbers) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1"},
      {1e20, "100000000000000000000"},
      {2.5e-3, "0.0025"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1.5, "1.5"},
      {-123.456, "-123.456"},
      {0.1, "0.1"},
      {1e-7, "0.0000001"},
      {9007199254740993.0, "9007199254740992"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
  };
  for (const auto& [value, text] : cases) EXPECT_TEXT(plain_decimal(value), text);
}

}  // namespace
