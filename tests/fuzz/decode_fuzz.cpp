// Fuzz driver for the saved-index reader. Every input is read both as a
// documents text and as a token text. The reader must never crash or read out
// of bounds; a fault must lie within the text; and an accepted text must
// re-encode to a text that reads back to the same encoding.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "index/builder.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"

using namespace vantoro;
using namespace vantoro::persist;

namespace {

void decode(bool documents, std::string_view text, IndexBuilder& builder) {
  if (documents) {
    decode_documents(text, builder);
  } else {
    decode_tokens(text, builder);
  }
}

ByteBuffer encode(bool documents, const Index& index) {
  return documents ? encode_documents(index) : encode_tokens(index);
}

void check_one(bool documents, std::string_view text) {
  IndexBuilder builder;
  try {
    decode(documents, text, builder);
  } catch (const FormatError& e) {
    if (e.line() < 1 || e.column() > text.size()) std::abort();
    if (e.text().size() < e.description().size()) std::abort();
    return;
  }
  const ByteBuffer once = encode(documents, builder.take());
  IndexBuilder again;
  try {
    decode(documents, once.view(), again);
  } catch (const FormatError&) {
    std::abort();  // the writer produced a text the reader refuses
  }
  const ByteBuffer twice = encode(documents, again.take());
  if (once.view() != twice.view()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_one(true, text);
  check_one(false, text);
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
#include <string>
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
