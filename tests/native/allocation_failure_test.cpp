// Every allocation of adding, freezing, loading and searching is made to
// fail in turn (the k-th malloc or mmap of the operation, for every k until
// the operation completes). Each failure must throw std::bad_alloc and leave
// the index answering and saving exactly as before the call (adding a list:
// as after the documents before the failing one), and the same operation
// repeated afterwards must give what it gives on an index that never failed.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fault.hpp"
#include "index/add_documents.hpp"
#include "index/builder.hpp"
#include "index/freeze.hpp"
#include "index/staged_add.hpp"
#include "index/index.hpp"
#include "index/search.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/save_load.hpp"
#include "test_documents.hpp"

// ---- allocation failures on demand, counted over every thread (a list
// may be added on two). A sanitizer build has its own allocator: there the
// tests are left out.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

namespace {
long g_failures_made = 0;  // by all sweeps so far: each test checks it grew
std::atomic<long> g_allocations{0};
std::atomic<long> g_fail_at{0};  // 0: none fails
bool failing_now() { return g_fail_at.load() != 0 && ++g_allocations == g_fail_at.load(); }
}  // namespace

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);

extern "C" void* malloc(size_t n) noexcept { return failing_now() ? nullptr : __libc_malloc(n); }
extern "C" void* realloc(void* p, size_t n) noexcept { return failing_now() ? nullptr : __libc_realloc(p, n); }
extern "C" void* calloc(size_t n, size_t size) noexcept { return failing_now() ? nullptr : __libc_calloc(n, size); }
extern "C" void* mmap(void* address, size_t n, int protection, int flags, int fd, off_t offset) noexcept {
  if (failing_now()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return reinterpret_cast<void*>(syscall(SYS_mmap, address, n, protection, flags, fd, offset));
}

using namespace vantoro;
namespace fs = std::filesystem;

namespace {

// Runs body with the k-th allocation failing; true if it threw bad_alloc,
// false if it completed (k is past its last allocation).
bool fails_at(long k, const std::function<void()>& body) {
  g_allocations = 0;
  g_fail_at = k;
  bool failed = false;
  try {
    body();
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  g_fail_at = 0;
  return failed;
}

// Progress lines and messages go to /dev/null while a test runs.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

using testing::add;
using testing::Document;
using testing::Feed;

// Documents of 1 to 40 tokens over 80 words, some with a count past 255.
std::vector<Document> documents(uint64_t seed, int count, const std::string& prefix) {
  std::mt19937_64 rng(seed);
  std::vector<Document> docs;
  for (int i = 0; i < count; ++i) {
    Document doc{prefix + std::to_string(i), {}};
    const int n = 1 + static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) doc.tokens.push_back("w" + std::to_string(rng() % 80));
    if (i % 37 == 5) doc.tokens.insert(doc.tokens.end(), 300, "w" + std::to_string(i % 80));
    docs.push_back(std::move(doc));
  }
  return docs;
}

// What an index shows: both files and, for every query, every candidate
// with its score by stored weights and on the fly (or the failure).
struct View {
  std::string documents, tokens;
  std::vector<std::string> answers;
  bool operator==(const View&) const = default;
};

std::string ranked(const std::function<ResultList()>& search, const Index& ix) {
  std::string out;
  try {
    ResultList results = search();
    std::sort(results.begin(), results.end(), [&](const ResultPair& a, const ResultPair& b) {
      return ix.document_name(a.document) < ix.document_name(b.document);
    });
    for (const ResultPair& r : results) {
      out += ix.document_name(r.document);
      out += '=' + std::to_string(r.score) + ' ';
    }
  } catch (const Fault& fault) {
    out = std::string("fault: ") + fault.what();
  }
  return out;
}

View view(const Index& ix) {
  View v{std::string(persist::encode_documents(ix).view()), std::string(persist::encode_tokens(ix).view()), {}};
  static const std::vector<Query> queries = {{"w1"}, {"w2", "w3"}, {"w0", "w5", "w79"}, {"new0", "w1"},
                                             {"ghost-token"}, {"w7", "w7", "w40"}};
  for (const Query& q : queries) {
    v.answers.push_back(ranked([&] { return search_stored(ix, q, ~size_t{0}, nullptr, Strategy::exhaustive); }, ix));
    v.answers.push_back(ranked([&] { return search_on_the_fly(ix, q, ~size_t{0}, nullptr, Strategy::exhaustive); }, ix));
  }
  return v;
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vantoro-alloc-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The states an operation starts from, each built the same way every time.
enum class State { fresh, frozen_then_grown, loaded_into_frozen, files_that_disagree };
const State kStates[] = {State::fresh, State::frozen_then_grown, State::loaded_into_frozen,
                         State::files_that_disagree};

const char* name(State s) {
  switch (s) {
    case State::fresh: return "fresh";
    case State::frozen_then_grown: return "frozen then grown";
    case State::loaded_into_frozen: return "loaded into a frozen index";
    case State::files_that_disagree: return "files that disagree";
  }
  return "";
}

// A directory with a saved index of other documents, and one with files
// that disagree: a token lists documents the documents file lacks.
struct Files {
  TempDir other, disagree;
  Files() {
    QuietStdout quiet;
    Index ix;
    for (const Document& d : documents(7, 90, "o")) add(ix, d);
    save(ix, other.path());
    write_file(disagree.path() + "/index.json",
               R"({"d1":{"id":"d1","maps":{"w1":2,"w2":1}},"d2":{"id":"D2","maps":{"w1":1,"only":4}},)"
               R"("d3":{"id":"d3","maps":{"w3":300,"w1":1}}})");
    write_file(disagree.path() + "/token_index.json",
               R"({"w1":{"text":"w1","maps":{"d1":2,"d2":5,"d3":1,"g0":200}},"w2":{"text":"w2","maps":{"d1":1}},)"
               R"("w3":{"text":"w3","maps":{"d3":300,"g1":1}},"ghost-token":{"text":"ghost-token","maps":{"g0":1}}})");
  }
};

Index build(State state, const Files& files) {
  QuietStdout quiet;
  Index ix;
  switch (state) {
    case State::fresh:
      for (const Document& d : documents(1, 150, "d")) add(ix, d);
      break;
    case State::frozen_then_grown:
      for (const Document& d : documents(1, 100, "d")) add(ix, d);
      freeze(ix);
      for (const Document& d : documents(2, 60, "e")) add(ix, d);
      break;
    case State::loaded_into_frozen:
      for (const Document& d : documents(1, 100, "d")) add(ix, d);
      freeze(ix);
      load(ix, files.other.path());
      for (const Document& d : documents(3, 20, "d")) add(ix, d);  // names the freeze weighted
      break;
    case State::files_that_disagree:
      for (const Document& d : documents(1, 40, "d")) add(ix, d);
      freeze(ix);
      load(ix, files.disagree.path());
      break;
  }
  return ix;
}

// The documents that the operations add: new names, names the freeze had
// weighted, and names only the token file lists (their postings go into the
// middle of lists, or onto a listed count).
std::vector<Document> extra() {
  std::vector<Document> docs = documents(11, 3, "new");
  docs.push_back(Document{"g0", {"w1", "w1", "ghost-token", "new0"}});
  docs.push_back(Document{"d5", {"w2", "w3", "w3"}});
  docs.push_back(Document{"g1", std::vector<std::string>(260, "w3")});
  return docs;
}

// Makes every allocation of `operation` (on an index in `state`) fail in
// turn. `expected(k)` is the view after a failure; `again` runs after it.
int sweep(State state, const Files& files, const std::function<void(Index&)>& operation,
          const std::function<bool(const View&)>& matches_a_failure, const View& after_success) {
  int problems = 0;
  long k = 1;
  for (;; ++k) {
    Index ix = build(state, files);
    bool failed;
    {
      QuietStdout quiet;
      failed = fails_at(k, [&] { operation(ix); });
    }
    if (!failed) {
      if (!(view(ix) == after_success)) {
        std::fprintf(stderr, "%s: the operation without failure gives another index\n", name(state));
        ++problems;
      }
      break;
    }
    if (!ix.names_have_records()) {
      std::fprintf(stderr, "%s: allocation %ld failed and left a name without its record\n", name(state), k);
      ++problems;
    }
    if (!matches_a_failure(view(ix))) {
      std::fprintf(stderr, "%s: allocation %ld failed and left the index changed\n", name(state), k);
      ++problems;
    }
    {
      QuietStdout quiet;
      operation(ix);
    }
    if (!(view(ix) == after_success)) {
      std::fprintf(stderr, "%s: allocation %ld failed; the operation repeated gives another index\n", name(state), k);
      ++problems;
    }
  }
  g_failures_made += k - 1;
  return problems;
}

template <class Operation>
View view_after(State state, const Files& files, Operation operation) {
  Index ix = build(state, files);
  QuietStdout quiet;
  operation(ix);
  return view(ix);
}

}  // namespace

TEST(adding_one_document) {
  const long failures_before = g_failures_made;
  Files files;
  for (State state : kStates) {
    for (const Document& doc : extra()) {
      const View before = view(build(state, files));
      auto operation = [&](Index& ix) { add(ix, doc); };
      const View after = view_after(state, files, operation);
      CHECK_EQ(sweep(state, files, operation, [&](const View& v) { return v == before; }, after), 0);
    }
  }
  CHECK(g_failures_made > failures_before);  // allocations were made to fail
}

// Sweeps `operation`, which adds `docs` as a list, from every state: a
// failure must leave the index as after some first documents of the list.
void sweep_list(const std::vector<Document>& docs, const std::function<void(Index&)>& operation) {
  const long failures_before = g_failures_made;
  Files files;
  for (State state : kStates) {
    std::vector<View> prefixes;
    for (size_t p = 0; p <= docs.size(); ++p) {
      prefixes.push_back(view_after(state, files, [&](Index& ix) {
        for (size_t i = 0; i < p; ++i) add(ix, docs[i]);
      }));
    }
    auto is_a_prefix = [&](const View& v) {
      for (const View& p : prefixes) {
        if (v == p) return true;
      }
      return false;
    };
    CHECK_EQ(sweep(state, files, operation, is_a_prefix, prefixes.back()), 0);
  }
  CHECK(g_failures_made > failures_before);  // allocations were made to fail
}

TEST(adding_a_list_keeps_the_documents_before_the_failing_one) {
  const std::vector<Document> docs = extra();
  sweep_list(docs, [&](Index& ix) {
    Feed feed(docs);
    add_documents(ix, feed);
  });
}

TEST(adding_a_list_in_two_stages_keeps_the_documents_before_the_failing_one) {
  std::vector<Document> docs = extra();
  docs.push_back(docs[1]);  // repeated: skipped
  sweep_list(docs, [&](Index& ix) {
    Feed feed(docs);
    if (!StagedAdd::possible(ix)) {
      for (const Document& doc : docs) add(ix, doc);
    } else if (!StagedAdd::run(ix, feed, StagedAddOptions{8, 2})) {
      // No room for the lengths, or no thread: nothing was added, which
      // add_documents follows by adding one by one. The sweep must go on.
      throw std::bad_alloc();
    }
  });
}

TEST(freezing) {
  const long failures_before = g_failures_made;
  Files files;
  for (State state : kStates) {
    const View before = view(build(state, files));
    auto operation = [&](Index& ix) {
      try {
        freeze(ix);
      } catch (const Fault&) {
        // A token lists a missing document: the freeze fails by design.
      }
    };
    const View after = view_after(state, files, operation);
    CHECK_EQ(sweep(state, files, operation, [&](const View& v) { return v == before; }, after), 0);
  }
  CHECK(g_failures_made > failures_before);  // allocations were made to fail
}

TEST(loading) {
  const long failures_before = g_failures_made;
  Files files;
  for (State state : kStates) {
    for (const std::string* directory : {&files.other.path(), &files.disagree.path()}) {
      const View before = view(build(state, files));
      auto operation = [&](Index& ix) { load(ix, *directory); };
      const View after = view_after(state, files, operation);
      CHECK_EQ(sweep(state, files, operation, [&](const View& v) { return v == before; }, after), 0);
    }
  }
  CHECK(g_failures_made > failures_before);  // allocations were made to fail
}

TEST(searching_leaves_the_thread_ready_for_the_next_search) {
  const long failures_before = g_failures_made;
  Files files;
  for (State state : kStates) {
    const View before = view(build(state, files));
    for (const Query& q : std::vector<Query>{{"w1", "w2"}, {"w3"}, {"w0", "w1", "w5"}}) {
      for (size_t n : {size_t{2}, ~size_t{0}}) {
        auto operation = [&](Index& ix) {
          try {
            search_on_the_fly(ix, q, n);
            if (ix.frozen_any()) search_stored(ix, q, n);
          } catch (const Fault&) {
            // A posting of a missing document, by design.
          }
        };
        CHECK_EQ(sweep(state, files, operation, [&](const View& v) { return v == before; }, before), 0);
      }
    }
  }
  CHECK(g_failures_made > failures_before);  // allocations were made to fail
}

#endif
