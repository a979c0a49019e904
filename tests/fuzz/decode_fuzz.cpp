// Fuzz driver for the saved-index reader. Every input is checked as UTF-8,
// whole and in pieces, and read both as a documents text and as a token
// text. The reader must never crash or read out of bounds; a fault must lie
// within the text, at the line and column of its offset; and an accepted
// text must re-encode to a text that reads back to the same encoding.
//
// The same text, handed to the reader in small pieces (so that names,
// escapes and numbers are cut at every place), must read exactly as it does
// whole. And whole loads of pairs of texts (the input with the other file
// made to mirror it, as a save would write it) must give, on one thread or
// two, in pieces of any size and through one reused buffer as a file is
// read, what the exact reading of the same pair gives: the same error, or
// an index that encodes to the same two texts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "index/builder.hpp"
#include "index/document_maps.hpp"
#include "persist/index_loader.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/quoted_text.hpp"
#include "persist/utf8.hpp"

using namespace vantoro;
using namespace vantoro::persist;

namespace {

std::string_view current_input;

// Reports which check failed, and on what input, then aborts.
[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\ninput: %s\n", what, quoted(current_input).c_str());
  std::abort();
}

template <class Text>
void decode(bool documents, Text&& text, IndexBuilder& builder) {
  if (documents) {
    decode_documents(text, builder);
  } else {
    decode_tokens(text, builder);
  }
}

ByteBuffer encode(bool documents, const Index& index) {
  return documents ? encode_documents(index) : encode_tokens(index);
}

// "OK " and the re-encoding, or the error's text form.
std::string read_in_pieces(bool documents, std::string_view text, size_t piece) {
  IndexBuilder builder;
  StringChunks chunks(text, piece);
  try {
    decode(documents, chunks, builder);
  } catch (const FormatError& e) {
    return e.text();
  }
  return "OK " + encode(documents, builder.take()).str();
}

void check_one(bool documents, std::string_view text) {
  IndexBuilder builder;
  std::string whole;
  try {
    decode(documents, text, builder);
  } catch (const FormatError& e) {
    if (e.line() < 1 || e.column() > text.size() || e.offset() > text.size()) fail("a fault outside the text");
    if (e.text().size() < e.description().size()) fail("a fault's text");
    // The line and column counted on the way are those of the offset.
    const FormatError located = FormatError::at(e.description(), text, e.offset());
    if (located.line() != e.line() || located.column() != e.column()) fail("a fault's line and column");
    whole = e.text();
  }
  if (whole.empty()) {
    const ByteBuffer once = encode(documents, builder.take());
    IndexBuilder again;
    try {
      decode(documents, once.view(), again);
    } catch (const FormatError&) {
      fail("the writer produced a text the reader refuses");
    }
    const ByteBuffer twice = encode(documents, again.take());
    if (once.view() != twice.view()) fail("a second round trip changed the text");
    whole = "OK " + once.str();
  }
  for (const size_t piece : {1, 2, 3, 7, 64}) {
    if (read_in_pieces(documents, text, piece) != whole) fail("reading in pieces differs from reading whole");
  }
}

// The exact reading of a pair: the first error of the documents text, then
// of the token text, or the index's two texts.
std::string load_exactly(std::string_view documents, std::string_view tokens) {
  IndexBuilder builder;
  try {
    decode_documents(documents, builder);
    decode_tokens(tokens, builder);
  } catch (const FormatError& e) {
    return e.text();
  }
  const Index index = builder.take();
  return encode_documents(index).str() + "|" + encode_tokens(index).str();
}

// A load whose pieces are copied into one reused buffer where `copied`,
// as a file's are.
std::string load(std::string_view documents, std::string_view tokens, size_t piece, size_t threads, bool copied = false) {
  const OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<TextChunks> {
    const std::string_view rest = std::string_view(text == 0 ? documents : tokens).substr(offset);
    if (copied) return std::make_unique<CopiedChunks>(rest, piece);
    return std::make_unique<StringChunks>(rest, piece);
  };
  try {
    const Index index = decode_index(open, threads, 1);
    return encode_documents(index).str() + "|" + encode_tokens(index).str();
  } catch (const FormatError& e) {
    return e.text();
  }
}

// An index with both maps of `index`'s documents (or, without documents,
// of its tokens), so that its two texts mirror each other.
Index mirrored(const Index& index, bool from_documents) {
  IndexBuilder builder;
  if (from_documents) {
    for_each_document_map(index, [&](NameId d, const Posting* postings, uint32_t n) {
      builder.begin_document(index.document_name(d));
      for (uint32_t k = 0; k < n; ++k) builder.document_count(index.token_name(postings[k].id), postings[k].count);
      builder.end_document(index.document_record_id(d));
      for (uint32_t k = 0; k < n; ++k) {
        builder.begin_token(index.token_name(postings[k].id));
        builder.token_count(index.document_name(d), postings[k].count);
        builder.end_token(index.token_name(postings[k].id));
      }
    });
  } else {
    for (NameId t = 0; t < index.token_name_count(); ++t) {
      if (!index.token_present(t)) continue;
      const PostingList& list = index.postings(t);
      builder.begin_token(index.token_name(t));
      for (uint32_t i = 0; i < list.size(); ++i) builder.token_count(index.document_name(list.docs()[i]), list.count(i));
      builder.end_token(index.token_record_text(t));
      for (uint32_t i = 0; i < list.size(); ++i) {
        builder.begin_document(index.document_name(list.docs()[i]));
        builder.document_count(index.token_name(t), list.count(i));
        builder.end_document(index.document_name(list.docs()[i]));
      }
    }
  }
  return builder.take();
}

// The input as one file of a pair whose other file mirrors it (when the
// input reads at all), loaded every way, against the exact reading.
void check_pair(bool input_is_documents, std::string_view text) {
  IndexBuilder builder;
  try {
    decode(input_is_documents, text, builder);
  } catch (const FormatError&) {
    return;  // its errors are checked above; a pair would only repeat them
  }
  const Index other = mirrored(builder.take(), input_is_documents);
  const std::string other_text = encode(!input_is_documents, other).str();
  const std::string_view documents = input_is_documents ? text : std::string_view(other_text);
  const std::string_view tokens = input_is_documents ? std::string_view(other_text) : text;
  const std::string expected = load_exactly(documents, tokens);
  for (const size_t threads : {1, 2}) {
    for (const size_t piece : {size_t{1}, size_t{5}, ~size_t{0}}) {
      if (load(documents, tokens, piece, threads) != expected) fail("a load differs from the exact reading");
    }
    if (load(documents, tokens, 3, threads, true) != expected) fail("a load through one buffer differs from the exact reading");
  }
  // A token text that is the input's own documents text reads as nothing
  // alike: the exact way, with the same outcome.
  if (load(text, text, 3, 2) != load_exactly(text, text)) fail("a load of the text twice differs from the exact reading");
}

// UTF-8 checked piece by piece, as a file is read, agrees with the check of
// the whole text, wherever a character is cut.
void check_utf8(std::string_view text) {
  const bool whole = is_valid_utf8(text);
  for (const size_t piece : {1, 2, 3, 5}) {
    Utf8Stream stream;
    bool valid = true;
    for (size_t at = 0; at < text.size() && valid; at += piece) valid = stream.feed(text.substr(at, piece));
    if ((valid && stream.finish()) != whole) fail("UTF-8 checked in pieces differs from the whole text's check");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  current_input = text;
  check_utf8(text);
  check_one(true, text);
  check_one(false, text);
  check_pair(true, text);
  check_pair(false, text);
  return 0;
}

#ifdef VANTORO_STANDALONE_FUZZ
// Without libFuzzer: random mutations of the seed corpus for a given time.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  std::vector<std::string> corpus;
  for (int i = 2; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      corpus.push_back(s.str());
    }
  }
  if (corpus.empty()) corpus.push_back(R"({"d":{"id":"d","maps":{"a":1}}})");
  static const char* const kPieces[] = {"{", "}", "[", "]", ",", ":", "\"", "\\", "\\u", "\\ud800", "\\udc00",
                                        "null", "true", "false", "-", "0", "1e400", "2147483648", "\"id\"",
                                        "\"text\"", "\"maps\"", " ", "\n", ".", "e", "E+", "\x01", "\xff"};
  std::mt19937_64 random(12345);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int batch = 0; batch < 256; ++batch) {
      std::string input = corpus[random() % corpus.size()];
      const int edits = 1 + static_cast<int>(random() % 8);
      for (int e = 0; e < edits; ++e) {
        const size_t at = input.empty() ? 0 : random() % (input.size() + 1);
        switch (random() % 5) {
          case 0: if (at < input.size()) input[at] = static_cast<char>(random()); break;
          case 1: input.insert(at, kPieces[random() % (sizeof kPieces / sizeof *kPieces)]); break;
          case 2: input.erase(at, random() % 8); break;
          case 3: input.insert(at, input.substr(at, random() % 16)); break;
          case 4: input.resize(at); break;
        }
      }
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      ++runs;
    }
  }
  std::printf("standalone fuzz: %llu runs in %.0f s, no crash\n", static_cast<unsigned long long>(runs), seconds);
  return 0;
}
#endif
