// Persistence timings without the interpreter: encoding and decoding the two
// index files, and whole save and load calls, on a synthetic Zipf-like corpus.
// Usage: persist_bench [documents] [tokens per doc] [directory for the files]
// Prints one line per measurement: name, seconds, megabytes of JSON, MB/s.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/builder.hpp"
#include "index/index.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/save_load.hpp"

using namespace vantoro;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The same shape as the Python benchmarks' corpus: documents "d<i>" of 25 to
// 75 tokens "w<rank>", ranks drawn with weight (rank + 2.7)^-1.07 over
// 200,000 entries, fixed seed.
Index synthetic_index(size_t documents, size_t mean_length, double& add_seconds) {
  constexpr uint32_t kVocabulary = 200000;
  std::vector<double> cumulative(kVocabulary);
  double sum = 0;
  for (uint32_t r = 0; r < kVocabulary; ++r) cumulative[r] = (sum += std::pow(r + 2.7, -1.07));
  std::vector<std::string> vocabulary(kVocabulary);
  for (uint32_t r = 0; r < kVocabulary; ++r) vocabulary[r] = "w" + std::to_string(r);

  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::uniform_int_distribution<size_t> length(mean_length / 2, mean_length + mean_length / 2);
  std::vector<std::vector<std::string_view>> docs(documents);
  for (auto& doc : docs) {
    doc.resize(length(rng));
    for (auto& token : doc) {
      const double u = uniform(rng);
      const size_t r = static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
      token = vocabulary[std::min<size_t>(r, kVocabulary - 1)];
    }
  }
  Index index;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < documents; ++i) index.add_document("d" + std::to_string(i), docs[i]);
  add_seconds = seconds_since(start);
  return index;
}

void report(const char* name, double seconds, double bytes) {
  std::printf("%-24s %9.3f s %10.1f MB %9.1f MB/s\n", name, seconds, bytes / 1e6, bytes / 1e6 / seconds);
  std::fflush(stdout);
}

template <class F>
double best_of(int runs, F&& body) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t documents = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t length = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50;
  const std::string directory = argc > 3 ? argv[3] : "/tmp";
  const int runs = documents <= 200000 ? 3 : 1;

  double add_seconds = 0;
  Index index = synthetic_index(documents, length, add_seconds);
  std::printf("%zu documents, %llu tokens; adding took %.3f s (best of %d runs below)\n", documents,
              static_cast<unsigned long long>(index.token_count()), add_seconds, runs);

  persist::ByteBuffer documents_text, tokens_text;
  const double encode_documents_s = best_of(runs, [&] { documents_text = persist::encode_documents(index); });
  const double encode_tokens_s = best_of(runs, [&] { tokens_text = persist::encode_tokens(index); });
  const double both = static_cast<double>(documents_text.size() + tokens_text.size());
  report("encode documents", encode_documents_s, static_cast<double>(documents_text.size()));
  report("encode tokens", encode_tokens_s, static_cast<double>(tokens_text.size()));
  report("encode both", encode_documents_s + encode_tokens_s, both);

  double decode_documents_s = 1e300, decode_tokens_s = 1e300;
  for (int i = 0; i < runs; ++i) {
    IndexBuilder builder;
    auto start = std::chrono::steady_clock::now();
    persist::decode_documents(documents_text.view(), builder);
    decode_documents_s = std::min(decode_documents_s, seconds_since(start));
    start = std::chrono::steady_clock::now();
    persist::decode_tokens(tokens_text.view(), builder);
    decode_tokens_s = std::min(decode_tokens_s, seconds_since(start));
    Index decoded = builder.take();
    if (decoded.document_count() != index.document_count()) return 1;
  }
  report("decode documents", decode_documents_s, static_cast<double>(documents_text.size()));
  report("decode tokens", decode_tokens_s, static_cast<double>(tokens_text.size()));
  report("decode both", decode_documents_s + decode_tokens_s, both);

  // Whole calls: files in `directory`, messages on fd 1 sent to /dev/null.
  const int saved_stdout = ::dup(1);
  const int devnull = ::open("/dev/null", O_WRONLY);
  ::dup2(devnull, 1);
  const double save_s = best_of(runs, [&] { save(index, directory); });
  Index loaded;
  const double load_s = best_of(runs, [&] { load(loaded, directory); });
  ::dup2(saved_stdout, 1);
  report("save (encode + write)", save_s, both);
  report("load (read + decode)", load_s, both);
  std::printf("load / adding the same documents: %.2fx the time\n", load_s / add_seconds);
  return loaded.document_count() == index.document_count() ? 0 : 1;
}
