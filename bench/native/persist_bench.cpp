// Persistence timings without the interpreter: encoding and decoding the two
// index files, and whole save and load calls, on a synthetic Zipf-like corpus.
// Usage: persist_bench [documents] [tokens per doc] [directory for the files]
//                      [ids: short, padded or uuid]
// Prints one line per measurement: name, seconds, megabytes of JSON, MB/s,
// and the processor time of the whole process over the same span.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index/builder.hpp"
#include "index/index.hpp"
#include "persist/index_loader.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/save_load.hpp"

using namespace vantoro;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double process_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string document_id(size_t i, const std::string& style, std::mt19937_64& rng) {
  char text[48];
  if (style == "padded") {
    std::snprintf(text, sizeof text, "doc-%08zu", i);
  } else if (style == "uuid") {
    const uint64_t head = rng();
    const uint64_t tail = (i * 0x9E3779B97F4BULL) & ((uint64_t{1} << 48) - 1);
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx",
                  static_cast<unsigned long long>(head >> 32), static_cast<unsigned long long>((head >> 16) & 0xffff),
                  static_cast<unsigned long long>(head & 0xfff),
                  static_cast<unsigned long long>(0x8000 + (rng() & 0x3fff)), static_cast<unsigned long long>(tail));
  } else {
    std::snprintf(text, sizeof text, "d%zu", i);
  }
  return text;
}

// The same shape as the Python benchmarks' corpus: documents of 25 to 75
// tokens "w<rank>", ranks drawn with weight (rank + 2.7)^-1.07 over 200,000
// entries, fixed seed.
Index synthetic_index(size_t documents, size_t mean_length, const std::string& style, double& add_seconds) {
  constexpr uint32_t kVocabulary = 200000;
  std::vector<double> cumulative(kVocabulary);
  double sum = 0;
  for (uint32_t r = 0; r < kVocabulary; ++r) cumulative[r] = (sum += std::pow(r + 2.7, -1.07));
  std::vector<std::string> vocabulary(kVocabulary);
  for (uint32_t r = 0; r < kVocabulary; ++r) vocabulary[r] = "w" + std::to_string(r);

  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::uniform_int_distribution<size_t> length(mean_length / 2, mean_length + mean_length / 2);
  std::vector<std::string> ids(documents);
  for (size_t i = 0; i < documents; ++i) ids[i] = document_id(i, style, rng);
  Index index;
  std::vector<std::string_view> doc;
  double seconds = 0;
  for (size_t i = 0; i < documents; ++i) {
    doc.resize(length(rng));
    for (auto& token : doc) {
      const double u = uniform(rng);
      const size_t r = static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
      token = vocabulary[std::min<size_t>(r, kVocabulary - 1)];
    }
    const auto start = std::chrono::steady_clock::now();
    index.add_document(ids[i], doc);
    seconds += seconds_since(start);
  }
  add_seconds = seconds;
  return index;
}

void report(const char* name, double seconds, double cpu, double bytes) {
  std::printf("%-24s %9.3f s %10.1f MB %9.1f MB/s  (processor %.3f s)\n", name, seconds, bytes / 1e6,
              bytes / 1e6 / seconds, cpu);
  std::fflush(stdout);
}

struct Timing {
  double wall = 1e300;
  double cpu = 0;
};

template <class F>
Timing best_of(int runs, F&& body) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    const double cpu = process_seconds();
    const auto start = std::chrono::steady_clock::now();
    body();
    const double wall = seconds_since(start);
    if (wall < best.wall) best = Timing{wall, process_seconds() - cpu};
  }
  return best;
}

// Discards an encoded text, counting its bytes.
struct Counter final : persist::TextOutput {
  size_t bytes = 0;
  void write(std::string_view piece) override { bytes += piece.size(); }
};

}  // namespace

int main(int argc, char** argv) {
  const size_t documents = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t length = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50;
  const std::string directory = argc > 3 ? argv[3] : "/tmp";
  const std::string style = argc > 4 ? argv[4] : "short";
  const int runs = documents <= 200000 ? 3 : 2;

  double add_seconds = 0;
  Index index = synthetic_index(documents, length, style, add_seconds);
  std::printf("%zu documents (%s ids), %llu tokens; adding took %.3f s (best of %d runs below)\n", documents,
              style.c_str(), static_cast<unsigned long long>(index.token_count()), add_seconds, runs);

  Counter documents_bytes, tokens_bytes;
  const Timing encode_documents = best_of(runs, [&] {
    documents_bytes = Counter();
    persist::encode_documents(index, documents_bytes);
  });
  const Timing encode_tokens = best_of(runs, [&] {
    tokens_bytes = Counter();
    persist::encode_tokens(index, tokens_bytes);
  });
  const double both = static_cast<double>(documents_bytes.bytes + tokens_bytes.bytes);
  report("encode documents", encode_documents.wall, encode_documents.cpu, static_cast<double>(documents_bytes.bytes));
  report("encode tokens", encode_tokens.wall, encode_tokens.cpu, static_cast<double>(tokens_bytes.bytes));
  report("encode both", encode_documents.wall + encode_tokens.wall, encode_documents.cpu + encode_tokens.cpu, both);

  // Decoding from memory, in pieces as a file is read.
  const persist::ByteBuffer documents_text = persist::encode_documents(index);
  const persist::ByteBuffer tokens_text = persist::encode_tokens(index);
  const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
    return std::make_unique<persist::StringChunks>(
        (text == 0 ? documents_text.view() : tokens_text.view()).substr(offset), size_t{1} << 20);
  };
  for (const size_t threads : {1, 2}) {
    const Timing decode = best_of(runs, [&] {
      const Index decoded = persist::decode_index(open, threads);
      if (decoded.document_count() != index.document_count() || decoded.document_maps() != nullptr) std::abort();
    });
    report(threads == 1 ? "decode both" : "decode both, 2 threads", decode.wall, decode.cpu, both);
  }

  // Whole calls: files in `directory`, messages on fd 1 sent to /dev/null.
  const int saved_stdout = ::dup(1);
  const int devnull = ::open("/dev/null", O_WRONLY);
  ::dup2(devnull, 1);
  const Timing save_time = best_of(runs, [&] { save(index, directory); });
  Index loaded;
  const Timing load_time = best_of(runs, [&] { load(loaded, directory); });
  ::dup2(saved_stdout, 1);
  report("save (encode + write)", save_time.wall, save_time.cpu, both);
  report("load (read + decode)", load_time.wall, load_time.cpu, both);
  std::printf("load / adding the same documents: %.2fx the time\n", load_time.wall / add_seconds);
  return loaded.document_count() == index.document_count() ? 0 : 1;
}
