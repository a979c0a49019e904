// Stress of two-thread loads and saves for ThreadSanitizer: the token text
// decoded on a thread of its own, which then helps build the index that the
// documents text describes; faults in either text, found while the other is
// still being read; saves that encode both files at once; and documents'
// maps and token text made ahead by a helping thread; lists of documents
// added in two stages and frozen on two threads. Every load must equal the
// exact reading of the same texts, every map and text the one made alone,
// every list added in stages (also one repeating known but absent names) the
// index added one document at a time, every freeze on two threads the one on
// one thread.
//
//   load_stress [ROUNDS]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "index/builder.hpp"
#include "index/staged_add.hpp"
#include "index/document_maps.hpp"
#include "index/freeze.hpp"
#include "persist/index_loader.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/save_load.hpp"
#include "../native/helped_token_text.hpp"
#include "../native/test_documents.hpp"

using namespace vantoro;
using testing::add;
using testing::Document;
using testing::Feed;

namespace {

std::string exact(const std::string& documents, const std::string& tokens) {
  IndexBuilder builder;
  try {
    persist::decode_documents(documents, builder);
    persist::decode_tokens(tokens, builder);
  } catch (const persist::FormatError& e) {
    return e.text();
  }
  const Index index = builder.take();
  return persist::encode_documents(index).str() + persist::encode_tokens(index).str();
}

std::string loaded(const std::string& documents, const std::string& tokens, size_t piece) {
  const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
    return std::make_unique<persist::StringChunks>(std::string_view(text == 0 ? documents : tokens).substr(offset), piece);
  };
  try {
    const Index index = persist::decode_index(open, 2, 1);
    return persist::encode_documents(index).str() + persist::encode_tokens(index).str();
  } catch (const persist::FormatError& e) {
    return e.text();
  }
}

std::string file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 4;
  Index index;
  std::vector<Document> docs;
  for (int i = 0; i < 30000; ++i) {
    Document doc{"doc-" + std::to_string(i % 997 == 5 ? i - 3 : i), {}};  // a few repeated
    for (int k = 0; k < 2 + i % 17; ++k) doc.tokens.push_back("w" + std::to_string((i * 31 + k * k * 7) % 3001));
    add(index, doc);
    docs.push_back(std::move(doc));
  }
  const std::string documents = persist::encode_documents(index).str();
  const std::string tokens = persist::encode_tokens(index).str();
  const std::string late_fault = documents.substr(0, documents.size() - 1) + ",}";
  const std::string early_fault = "[" + tokens.substr(1);
  const std::string repeated = "{\"doc-7\":{\"id\":\"doc-7\",\"maps\":{}}," + documents.substr(1);
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {documents, tokens}, {late_fault, tokens}, {documents, early_fault}, {late_fault, early_fault}, {repeated, tokens}};
  int wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& [d, t] : pairs) {
      if (loaded(d, t, round % 2 ? 1000 : 65536) != exact(d, t)) ++wrong;
    }
  }

  char name[] = "/tmp/vantoro-load-stress-XXXXXX";
  const std::string dir = ::mkdtemp(name);
  const int saved_stdout = ::dup(1);
  const int devnull = ::open("/dev/null", O_WRONLY);
  ::dup2(devnull, 1);
  ::setenv("RAYON_NUM_THREADS", "2", 1);
  save(index, dir);
  Index again;
  load(again, dir);
  ::dup2(saved_stdout, 1);
  if (file(dir + "/index.json") != documents || file(dir + "/token_index.json") != tokens) ++wrong;
  if (persist::encode_documents(again).str() != documents) ++wrong;
  std::filesystem::remove_all(dir);

  // The documents' maps taken from a queue that a second thread helps to
  // fill, in chunks of a few hundred pairs: the same as made alone.
  for (int round = 0; round < rounds; ++round) {
    const DocumentColumnSizes sizes{300, 1, 64};
    ColumnQueue queue(index, sizes);
    std::thread helper([&] { queue.help(); });
    DocumentColumns alone(index, sizes);
    while (const ColumnChunk* chunk = queue.take()) {
      if (!alone.next() || chunk->begin != alone.begin() || chunk->end != alone.end()) ++wrong;
      for (NameId d = chunk->begin; d < chunk->end; ++d) {
        if (chunk->size(d) != alone.size(d) ||
            !std::equal(chunk->run(d), chunk->run(d) + chunk->size(d), alone.run(d),
                        [](const Posting& a, const Posting& b) { return a.id == b.id && a.count == b.count; })) {
          ++wrong;
        }
      }
      queue.give_back(chunk);
    }
    if (alone.next()) ++wrong;
    queue.close();
    helper.join();
  }

  // The token file with ranges of 50 postings rendered ahead by a second
  // thread: the same text.
  for (int round = 0; round < rounds; ++round) {
    if (testing::encode_tokens_helped(index, 50).text != tokens) ++wrong;
  }

  // The same list added in two stages, chunks of a few documents handed
  // from the resolving thread to the adding one: the same index; frozen on
  // two threads (the lists split in two ranges), the same stored weights as
  // the index frozen on one.
  ::dup2(devnull, 1);
  ::setenv("RAYON_NUM_THREADS", "1", 1);
  freeze(index);
  ::setenv("RAYON_NUM_THREADS", "2", 1);
  ::dup2(saved_stdout, 1);
  for (int round = 0; round < rounds; ++round) {
    Index staged;
    Feed feed(docs);
    ::dup2(devnull, 1);
    const bool ran = StagedAdd::run(staged, feed, StagedAddOptions{40 + 30 * static_cast<size_t>(round), 4});
    ::dup2(saved_stdout, 1);
    if (!ran) ++wrong;
    if (persist::encode_documents(staged).str() != documents || persist::encode_tokens(staged).str() != tokens) ++wrong;
    ::dup2(devnull, 1);
    freeze(staged);
    ::dup2(saved_stdout, 1);
    for (NameId t = 0; t < index.token_name_count(); ++t) {
      const PostingList& two = staged.postings(staged.find_token(index.token_name(t)));
      const PostingList& one = index.postings(t);
      if (two.weighted() != one.weighted() || !std::equal(one.weights(), one.weights() + one.weighted(), two.weights())) ++wrong;
      for (uint32_t b = 0; b < block_count(one.weighted()); ++b) {
        if (two.block_max_weight(b) != one.block_max_weight(b)) ++wrong;
      }
    }
  }

  // Documents listed by a loaded token but absent, each three times in a
  // list added in stages: the first is added, the repeats are skipped while
  // the adding stage writes the first one's lengths.
  for (int round = 0; round < rounds; ++round) {
    auto loaded_with_ghosts = [] {
      IndexBuilder builder;
      builder.begin_token("w1");
      for (int g = 0; g < 200; ++g) builder.token_count("ghost-" + std::to_string(g), 1);
      builder.end_token("w1");
      return builder.take();
    };
    std::vector<Document> list;
    for (int i = 0; i < 1800; ++i) {
      // ghost-k at 9k, 9k + 3 and 9k + 6: a repeat close behind its first.
      list.push_back(Document{i % 3 == 0 ? "ghost-" + std::to_string(i / 9) : "doc-" + std::to_string(i),
                              {"w1", "w" + std::to_string(i % 50)}});
    }
    Index staged = loaded_with_ghosts();
    Index one_by_one = loaded_with_ghosts();
    Feed feed(list);
    ::dup2(devnull, 1);
    const bool ran = StagedAdd::run(staged, feed, StagedAddOptions{16, 3});
    ::dup2(saved_stdout, 1);
    if (!ran) ++wrong;
    for (const Document& doc : list) add(one_by_one, doc);
    if (persist::encode_documents(staged).str() != persist::encode_documents(one_by_one).str() ||
        persist::encode_tokens(staged).str() != persist::encode_tokens(one_by_one).str()) {
      ++wrong;
    }
  }

  std::printf("load stress: %d rounds of %zu pairs, %d wrong\n", rounds, pairs.size(), wrong);
  return wrong == 0 ? 0 : 1;
}
