// Saving and loading files: messages, failure texts, and the two guarantees
// (a failed save leaves the previous file as it was and no temporary file;
// a failed load leaves the index as it was).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "check.hpp"
#include "fault.hpp"
#include "persist/json_writer.hpp"
#include "persist/os_error.hpp"
#include "persist/save_load.hpp"
#include "persist_test_util.hpp"
#include "progress/system_error_text.hpp"

using namespace vantoro;
namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vantoro-persist-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

unsigned mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xffff;
}

std::string os_error(int code, const char* kind) {
  return "Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: \"" + system_error_text(code) + "\" }";
}

// What `action` printed on file descriptor 1, and the message of what it threw.
struct Outcome {
  std::string printed;
  std::string failure = "<none>";
};

Outcome capture(const std::function<void()>& action) {
  std::fflush(stdout);
  char name[] = "/tmp/vantoro-stdout-XXXXXX";
  const int capture_fd = ::mkstemp(name);
  const int saved = ::dup(1);
  ::dup2(capture_fd, 1);
  Outcome outcome;
  try {
    action();
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
  ::dup2(saved, 1);
  ::close(saved);
  ::close(capture_fd);
  outcome.printed = read_file(name);
  ::unlink(name);
  return outcome;
}

// Runs `action` in a child process and returns the message it failed with.
std::string failure_in_child(const std::function<void()>& action) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "<pipe failed>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    std::string message = "<none>";
    try {
      action();
    } catch (const std::exception& e) {
      message = e.what();
    }
    if (::write(pipe_fds[1], message.data(), message.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) message.append(buffer, static_cast<size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return message;
}

// Limits the size of files this process may write; writing past it then
// fails with EFBIG instead of raising SIGXFSZ.
void limit_file_size(rlim_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

Index sample_index() {
  Index index;
  index.add_document("d1", {"a", "b", "a"});
  index.add_document("d2", {"b", "\xc3\xa9\"\\"});
  return index;
}

std::string documents_of(const Index& index) { return persist::encode_documents(index).str(); }
std::string tokens_of(const Index& index) { return persist::encode_tokens(index).str(); }

TEST(save_then_load_restores_both_maps) {
  TempDir dir;
  const Index index = sample_index();
  const Outcome saved = capture([&] { save(index, dir.path()); });
  EXPECT_TEXT(saved.failure, "<none>");
  EXPECT_TEXT(saved.printed, "Saved index with 2 documents and 3 tokens\n");
  EXPECT_TEXT(read_file(dir / "index.json"), documents_of(index));
  EXPECT_TEXT(read_file(dir / "token_index.json"), tokens_of(index));
  CHECK(names_in(dir.path()) == (std::set<std::string>{"index.json", "token_index.json"}));

  Index loaded;
  loaded.add_document("old", {"x"});
  const Outcome load_outcome = capture([&] { load(loaded, dir.path() + "/"); });
  EXPECT_TEXT(load_outcome.failure, "<none>");
  EXPECT_TEXT(load_outcome.printed, "Loaded index with 2 documents and 3 tokens\n");
  EXPECT_TEXT(documents_of(loaded), documents_of(index));
  EXPECT_TEXT(tokens_of(loaded), tokens_of(index));
}

TEST(empty_index_and_path_joining) {
  TempDir dir;
  const Index empty;
  const Outcome saved = capture([&] { save(empty, dir.path() + "/"); });
  EXPECT_TEXT(saved.printed, "Saved index with 0 documents and 0 tokens\n");
  EXPECT_TEXT(read_file(dir / "index.json"), "{}");
  EXPECT_TEXT(read_file(dir / "token_index.json"), "{}");

  EXPECT_TEXT(join_path("out", "index.json"), "out/index.json");
  EXPECT_TEXT(join_path("out/", "index.json"), "out/index.json");
  EXPECT_TEXT(join_path("", "index.json"), "index.json");

  // The empty directory text means the working directory.
  const int here = ::open(".", O_RDONLY | O_DIRECTORY);
  CHECK(::chdir(dir.path().c_str()) == 0);
  const Index index = sample_index();
  capture([&] { save(index, ""); });
  Index loaded;
  const Outcome load_outcome = capture([&] { load(loaded, ""); });
  CHECK(::fchdir(here) == 0);
  ::close(here);
  EXPECT_TEXT(load_outcome.printed, "Loaded index with 2 documents and 3 tokens\n");
  EXPECT_TEXT(documents_of(loaded), documents_of(index));
}

TEST(save_index_and_save_token_index_write_exactly_the_path) {
  TempDir dir;
  const Index index = sample_index();
  const Outcome first = capture([&] { save_index(index, dir / "a.json"); });
  EXPECT_TEXT(first.printed, "");
  EXPECT_TEXT(read_file(dir / "a.json"), documents_of(index));
  capture([&] { save_token_index(index, dir / "a.json"); });
  EXPECT_TEXT(read_file(dir / "a.json"), tokens_of(index));
  CHECK(names_in(dir.path()) == std::set<std::string>{"a.json"});
}

TEST(save_failure_texts) {
  TempDir dir;
  const Index index = sample_index();
  CHECK_THROWS_MESSAGE(save(index, dir / "missing"), "Unable to write file: " + os_error(2, "NotFound"));
  CHECK(names_in(dir.path()).empty());

  fs::create_directory(dir / "sub");
  CHECK_THROWS_MESSAGE(save_index(index, dir / "sub"), "Unable to write file: " + os_error(21, "IsADirectory"));
  CHECK_THROWS_MESSAGE(save_index(index, dir / "nothing/"), "Unable to write file: " + os_error(21, "IsADirectory"));
  write_file(dir / "plain", "x");
  CHECK_THROWS_MESSAGE(save_index(index, dir / "plain/a.json"), "Unable to write file: " + os_error(20, "NotADirectory"));

  const std::string nul_path = dir / std::string("a\0b", 3);
  CHECK_THROWS_MESSAGE(save_index(index, nul_path),
                       "Unable to write file: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  CHECK_THROWS_MESSAGE(save(index, nul_path),
                       "Unable to write file: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  CHECK(names_in(dir.path()) == (std::set<std::string>{"plain", "sub"}));

  // A device is written in place, never replaced.
  CHECK_THROWS_MESSAGE(save_index(index, "/dev/full"), "Unable to write file: " + os_error(28, "StorageFull"));
  save_index(index, "/dev/null");
  struct stat st;
  CHECK(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
}

TEST(save_to_a_file_that_cannot_be_opened_changes_nothing) {
  // A running program cannot be opened for writing, even by root.
  TempDir dir;
  const std::string program = dir / "program";
  fs::copy_file("/bin/sleep", program);
  ::chmod(program.c_str(), 0755);
  const std::string before = read_file(program);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the child runs the copy.
  for (int i = 0; i < 200; ++i) {
    std::error_code ignored;
    if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ignored).string() == program) break;
    ::usleep(10000);
  }
  const Index index = sample_index();
  CHECK_THROWS_MESSAGE(save_index(index, program), "Unable to write file: " + os_error(26, "ExecutableFileBusy"));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  CHECK(read_file(program) == before);
  CHECK(names_in(dir.path()) == std::set<std::string>{"program"});
}

TEST(failed_save_keeps_the_previous_file_and_leaves_no_temporary) {
  TempDir dir;
  const Index index = sample_index();
  write_file(dir / "index.json", "previous");
  write_file(dir / "token_index.json", "previous tokens");
  const std::string failure = failure_in_child([&] {
    limit_file_size(20);
    save(index, dir.path());
  });
  EXPECT_TEXT(failure, "Unable to write file: " + os_error(27, "FileTooLarge"));
  EXPECT_TEXT(read_file(dir / "index.json"), "previous");
  EXPECT_TEXT(read_file(dir / "token_index.json"), "previous tokens");
  CHECK(names_in(dir.path()) == (std::set<std::string>{"index.json", "token_index.json"}));

  // Where no file existed, none is left.
  TempDir fresh;
  const std::string fresh_failure = failure_in_child([&] {
    limit_file_size(20);
    save_index(index, fresh / "a.json");
  });
  EXPECT_TEXT(fresh_failure, "Unable to write file: " + os_error(27, "FileTooLarge"));
  CHECK(names_in(fresh.path()).empty());

  // With save, the documents file is complete before the token file starts:
  // a failure on the token file leaves the new documents file.
  const std::string documents = documents_of(index);
  const std::string second_failure = failure_in_child([&] {
    limit_file_size(documents.size() + 1);
    save(index, dir.path());
  });
  EXPECT_TEXT(second_failure, "Unable to write file: " + os_error(27, "FileTooLarge"));
  EXPECT_TEXT(read_file(dir / "index.json"), documents);
  EXPECT_TEXT(read_file(dir / "token_index.json"), "previous tokens");
  CHECK(names_in(dir.path()) == (std::set<std::string>{"index.json", "token_index.json"}));
}

TEST(permission_bits_and_links) {
  TempDir dir;
  const Index index = sample_index();

  write_file(dir / "kept.json", "old");
  ::chmod((dir / "kept.json").c_str(), 0640);
  save_index(index, dir / "kept.json");
  CHECK_EQ(mode_of(dir / "kept.json"), 0640u);
  EXPECT_TEXT(read_file(dir / "kept.json"), documents_of(index));

  const mode_t old_mask = ::umask(027);
  save_index(index, dir / "new.json");
  ::umask(old_mask);
  CHECK_EQ(mode_of(dir / "new.json"), 0640u);

  // A symbolic link is followed: the file it points to is replaced.
  write_file(dir / "real.json", "old");
  fs::create_symlink("real.json", dir / "link.json");
  save_token_index(index, dir / "link.json");
  CHECK(fs::is_symlink(dir / "link.json"));
  EXPECT_TEXT(read_file(dir / "real.json"), tokens_of(index));

  // A link to a missing file creates that file.
  fs::create_symlink("target.json", dir / "dangling.json");
  save_index(index, dir / "dangling.json");
  CHECK(fs::is_symlink(dir / "dangling.json"));
  EXPECT_TEXT(read_file(dir / "target.json"), documents_of(index));
  CHECK(names_in(dir.path()) ==
        (std::set<std::string>{"kept.json", "new.json", "real.json", "link.json", "dangling.json", "target.json"}));
}

TEST(a_fifo_is_written_in_place) {
  TempDir dir;
  const std::string fifo = dir / "pipe";
  CHECK(::mkfifo(fifo.c_str(), 0600) == 0);
  std::string received;
  std::thread reader([&] { received = read_file(fifo); });
  const Index index = sample_index();
  save_index(index, fifo);
  reader.join();
  EXPECT_TEXT(received, documents_of(index));
  struct stat st;
  CHECK(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  CHECK(names_in(dir.path()) == std::set<std::string>{"pipe"});
}

TEST(failed_load_leaves_the_index_unchanged) {
  TempDir dir;
  Index index = sample_index();
  const std::string documents = documents_of(index);
  const std::string tokens = tokens_of(index);

  const auto load_fails_with = [&](const std::string& directory, const std::string& message) {
    const Outcome outcome = capture([&] { load(index, directory); });
    EXPECT_TEXT(outcome.failure, message);
    EXPECT_TEXT(outcome.printed, "");
    EXPECT_TEXT(documents_of(index), documents);
    EXPECT_TEXT(tokens_of(index), tokens);
  };

  load_fails_with(dir / "missing", "Unable to read file: " + os_error(2, "NotFound"));
  load_fails_with(dir / std::string("a\0b", 3),
                  "Unable to read file: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");

  // Only the documents file is there: both are read before either is decoded.
  write_file(dir / "index.json", R"({"n":{"id":"n","maps":{}}})");
  load_fails_with(dir.path(), "Unable to read file: " + os_error(2, "NotFound"));

  write_file(dir / "token_index.json", "[]");
  load_fails_with(dir.path(),
                  "called `Result::unwrap()` on an `Err` value: Error(\"invalid type: sequence, expected a map\", line: 1, column: 0)");

  write_file(dir / "index.json", "");
  load_fails_with(dir.path(), "called `Result::unwrap()` on an `Err` value: Error(\"EOF while parsing a value\", line: 1, column: 0)");

  write_file(dir / "index.json", "{\"\xff\":{}}");
  load_fails_with(dir.path(), "Unable to read file: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  for (const char* invalid : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
    write_file(dir / "index.json", std::string("{\"") + invalid + "\":1}");
    load_fails_with(dir.path(), "Unable to read file: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  }

  fs::remove(dir / "index.json");
  fs::create_directory(dir / "index.json");
  load_fails_with(dir.path(), "Unable to read file: " + os_error(21, "IsADirectory"));
}

}  // namespace

namespace {

TEST(error_descriptions) {
  EXPECT_TEXT(persist::os_error_description(5), "Os { code: 5, kind: Uncategorized, message: \"" + system_error_text(5) + "\" }");
  EXPECT_TEXT(persist::os_error_description(13), os_error(13, "PermissionDenied"));
  EXPECT_TEXT(persist::os_error_description(122), os_error(122, "FilesystemQuotaExceeded"));
  EXPECT_TEXT(std::string(persist::error_kind_name(36)), "InvalidFilename");
  EXPECT_TEXT(std::string(persist::kWriteZero), "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
}

}  // namespace

// Loads read the files in pieces, decode the two at the same time, and read
// files that mirror each other without holding their records; what they
// give, and how they fail, must be what the exact reading of whole files
// gives.
#include "index/builder.hpp"
#include "index/mirror_builder.hpp"
#include "persist/file_io.hpp"
#include "persist/index_loader.hpp"
#include "persist/json_reader.hpp"

namespace {

struct Texts {
  std::string documents;
  std::string tokens;
};

Texts texts_of(const Index& index) { return Texts{documents_of(index), tokens_of(index)}; }

// The two texts read exactly, whole: the first error, or the index's texts
// (and in `mirrored` whether the documents' own maps were dropped).
std::string exact_reading(const Texts& t, bool* mirrored = nullptr) {
  IndexBuilder builder;
  try {
    persist::decode_documents(t.documents, builder);
    persist::decode_tokens(t.tokens, builder);
  } catch (const persist::FormatError& e) {
    return e.text();
  }
  const Index index = builder.take();
  if (mirrored) *mirrored = index.document_maps() == nullptr;
  return documents_of(index) + "|" + tokens_of(index);
}

// The same through a load's decoding, in pieces of `piece` bytes on
// `threads` threads; `mirrored` tells whether the documents' own maps were
// dropped (the files mirror each other).
std::string loaded(const Texts& t, size_t piece, size_t threads, bool* mirrored = nullptr) {
  const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
    return std::make_unique<persist::StringChunks>(std::string_view(text == 0 ? t.documents : t.tokens).substr(offset), piece);
  };
  try {
    const Index index = persist::decode_index(open, threads, 1);
    if (mirrored) *mirrored = index.document_maps() == nullptr;
    return documents_of(index) + "|" + tokens_of(index);
  } catch (const persist::FormatError& e) {
    return e.text();
  }
}

Index varied_index(int documents) {
  Index index;
  for (int i = 0; i < documents; ++i) {
    std::vector<std::string> words;
    for (int k = 0; k < 3 + i % 11; ++k) words.push_back("w" + std::to_string((i * 7 + k * k) % 97));
    if (i % 5 == 0) words.push_back("\xc3\xa9t\xc3\xa9 \"q\"\t");
    if (i % 50 == 0) words.insert(words.end(), 300, "many");  // a count kept aside (above 255)
    std::vector<std::string_view> views(words.begin(), words.end());
    index.add_document((i % 3 ? "doc-" : "d\\\n") + std::to_string(i * 7919 % 1000003), views);
  }
  return index;
}

// Whether the mirror reading alone takes the texts, read in pieces of
// `piece` bytes on `threads` threads (each text in parts on two).
bool mirror_reading_takes(const Texts& t, size_t piece, size_t threads) {
  const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
    return std::make_unique<persist::StringChunks>(std::string_view(text == 0 ? t.documents : t.tokens).substr(offset), piece);
  };
  try {
    return persist::decode_mirrored(open, threads, 1).has_value();
  } catch (const MirrorBroken&) {
    return false;
  }
}

// A vocabulary large enough that a part of the documents file meets tens
// of thousands of tokens first, which the load names in pieces on both
// threads: each token keeps the id of its first appearance, whichever
// part and thread met it, and a token met again in a later part is named
// once.
TEST(mirrored_loads_name_large_vocabularies_in_order) {
  Index source;
  for (int i = 0; i < 8000; ++i) {
    std::vector<std::string> words;
    for (int k = 0; k < 40; ++k) words.push_back("t" + std::to_string(i * 40 + k));  // met here only
    for (int k = 0; k < 8; ++k) words.push_back("s" + std::to_string((i * 13 + k * 977) % 4000));  // met again
    std::vector<std::string_view> views(words.begin(), words.end());
    source.add_document("doc-" + std::to_string(i), views);
  }
  const Texts t = texts_of(source);
  for (const size_t threads : {1, 2}) {
    EXPECT_TEXT(loaded(t, size_t{1} << 16, threads), t.documents + "|" + t.tokens);
    CHECK(mirror_reading_takes(t, size_t{1} << 16, threads));
  }
}

TEST(loads_of_mirrored_files_in_pieces_and_on_two_threads) {
  const Texts t = texts_of(varied_index(400));
  const std::string expected = t.documents + "|" + t.tokens;
  EXPECT_TEXT(exact_reading(t), expected);
  for (const size_t threads : {1, 2}) {
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{4096}, ~size_t{0}}) {
      bool mirrored = false;
      EXPECT_TEXT(loaded(t, piece, threads, &mirrored), expected);
      CHECK(mirrored);
      CHECK(mirror_reading_takes(t, piece, threads));
    }
  }

  // Mirrored records that break the index's own rules load as they are.
  IndexBuilder builder;
  builder.begin_document("k1");
  builder.document_count("a", 0);
  builder.document_count("b", -4);
  builder.end_document("other id");
  builder.begin_document("k2");
  builder.end_document("k2");
  for (const auto& [token, count] : std::vector<std::pair<const char*, int32_t>>{{"a", 0}, {"b", -4}}) {
    builder.begin_token(token);
    builder.token_count("k1", count);
    builder.end_token(std::string(token) == "a" ? "A" : "b");
  }
  builder.begin_token("unused");
  builder.end_token("unused");
  const Texts odd = texts_of(builder.take());
  bool mirrored = false;
  EXPECT_TEXT(loaded(odd, 3, 2, &mirrored), exact_reading(odd));
  CHECK(mirrored);

  // Token records in another order than the tokens' first appearance (two
  // of them with as many postings, so that only their names tell them
  // apart), then a key that no document names.
  const Texts reordered = {R"({"d1":{"id":"d1","maps":{"a":1}},"d2":{"id":"d2","maps":{"b":1}}})",
                           R"({"b":{"text":"B","maps":{"d2":1}},"a":{"text":"a","maps":{"d1":1}},)"
                           R"("z":{"text":"z","maps":{}}})"};
  for (const size_t threads : {1, 2}) EXPECT_TEXT(loaded(reordered, 4, threads), exact_reading(reordered));
}

// A text is read in parts split where the bytes between two records, a
// ',' after "}}" and before '"', appear; names can hold those bytes too.
// A part that does not end where the next begins sends the load the exact
// way, with the same result.
TEST(names_that_look_like_a_split_between_records) {
  Index index;
  for (int i = 0; i < 300; ++i) {
    const std::vector<std::string_view> tokens = {"a}},", "b}],", i % 2 ? "}}," : "w", "common"};
    index.add_document("doc" + std::to_string(i) + (i % 3 ? "}}," : "}],"), tokens);
  }
  const Texts t = texts_of(index);
  const std::string expected = t.documents + "|" + t.tokens;
  CHECK(t.documents.find("}},\"") != std::string::npos);
  for (const size_t piece : {size_t{3}, size_t{4096}, ~size_t{0}}) {
    EXPECT_TEXT(loaded(t, piece, 2), expected);
  }
  // Splits searched from 7 places fall inside names here, unless a search
  // meets a boundary between records first.
  CHECK(!mirror_reading_takes(t, 4096, 2));
  CHECK(mirror_reading_takes(t, 4096, 1));
}

// Built with append: gcc 12 misreports `"s" + std::to_string(i)` under -Werror=restrict.
std::string named(const char* prefix, int i) {
  std::string name(prefix);
  name.append(std::to_string(i));
  return name;
}

// Tokens that a later part of the documents file meets first, some met
// again in parts after it, take their ids in order of first appearance,
// each once, and the mirror reading still takes the files.
TEST(tokens_first_met_in_later_parts_keep_their_order) {
  Index source;
  for (int i = 0; i < 800; ++i) {
    std::vector<std::string> words = {named("w", i % 7), named("u", i), named("g", i / 90)};
    if (i >= 300) words.push_back(named("late", i % 13));
    if (i % 100 == 99) words.push_back(named("rare", i % 300));
    std::vector<std::string_view> views(words.begin(), words.end());
    source.add_document(named("doc-", i), views);
  }
  const Texts t = texts_of(source);
  const std::string expected = t.documents + "|" + t.tokens;
  for (const size_t threads : {1, 2}) {
    EXPECT_TEXT(loaded(t, 4096, threads), expected);
    CHECK(mirror_reading_takes(t, 4096, threads));
  }
}

// Names of every length up to 40 bytes, each byte different, keep their
// bytes through the list's growth.
TEST(name_lists_keep_names_of_every_length) {
  NameList list;
  std::vector<std::string> names;
  for (int round = 0; round < 50; ++round) {
    for (size_t n = 0; n <= 40; ++n) {
      std::string name(n, '\0');
      for (size_t k = 0; k < n; ++k) name[k] = static_cast<char>('!' + (k * 7 + n + static_cast<size_t>(round)) % 90);
      list.push_back(name);
      names.push_back(name);
    }
  }
  CHECK_EQ(list.size(), names.size());
  size_t bytes = 0;
  for (uint32_t i = 0; i < list.size(); ++i) {
    EXPECT_TEXT(std::string(list.name(i)), names[i]);
    bytes += names[i].size();
  }
  CHECK_EQ(list.bytes(), bytes);
}

// Names of every length up to 80 bytes, as documents and as tokens: the
// mirror reading takes them, with the exact reading's result.
// The documents file's names wait for their tokens to be looked for: none
// may be read after its piece is gone, whether the piece ends inside a name,
// between names or between records.
TEST(mirror_reading_through_one_reused_buffer) {
  Index source = varied_index(300);
  for (size_t n = 1; n <= 40; ++n) {
    const std::string token(n, static_cast<char>('A' + n % 26));
    const std::vector<std::string_view> tokens = {token, "common", "w\\u00e9"};
    source.add_document("long-" + std::to_string(n), tokens);
  }
  const Texts t = texts_of(source);
  const std::string expected = t.documents + "|" + t.tokens;
  for (const size_t threads : {1, 2}) {
    for (const size_t piece : {size_t{1}, size_t{5}, size_t{64}, size_t{4096}}) {
      const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
        return std::make_unique<persist::CopiedChunks>(std::string_view(text == 0 ? t.documents : t.tokens).substr(offset), piece);
      };
      std::optional<Index> index;
      try {
        index = persist::decode_mirrored(open, threads, 1);
      } catch (const MirrorBroken&) {
      }
      CHECK(index.has_value());
      if (index) EXPECT_TEXT(documents_of(*index) + "|" + tokens_of(*index), expected);
    }
  }
}

TEST(mirrored_names_of_every_length) {
  Index source;
  for (size_t n = 1; n <= 80; ++n) {
    const std::string document(n, static_cast<char>('a' + n % 26));
    const std::string token(n, static_cast<char>('A' + n % 26));
    const std::vector<std::string_view> tokens = {token, "common", std::string_view(token).substr(0, n / 2 + 1)};
    source.add_document(document, tokens);
  }
  const Texts t = texts_of(source);
  for (const size_t threads : {1, 2}) {
    EXPECT_TEXT(loaded(t, 64, threads), t.documents + "|" + t.tokens);
    CHECK(mirror_reading_takes(t, 64, threads));
  }
}

// A mirrored load makes long lists as a list made afresh from the same
// postings does: lists long enough to be mapped, counts kept aside on
// either side of block boundaries, and block bounds computed after the
// lists are made.
TEST(mirrored_loads_hand_long_lists_their_storage) {
  Index source;
  for (int i = 0; i < 30000; ++i) {
    std::vector<std::string> words = {"every", "w" + std::to_string(i % 13), "u" + std::to_string(i)};
    if (i % 2 == 0) words.push_back("half");
    if (i % 61 == 0 || i % 64 == 63 || i % 64 == 0) words.insert(words.end(), 256 + i % 3, "every");
    words.insert(words.end(), i % 5, "w" + std::to_string(i % 7));
    std::vector<std::string_view> views(words.begin(), words.end());
    source.add_document("doc-" + std::to_string(i), views);
  }
  const Texts t = texts_of(source);
  for (const size_t threads : {1, 2}) {
    const persist::OpenText open = [&](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
      return std::make_unique<persist::StringChunks>(std::string_view(text == 0 ? t.documents : t.tokens).substr(offset), 1 << 16);
    };
    const Index ix = persist::decode_index(open, threads, 1);
    CHECK(ix.document_maps() == nullptr);
    EXPECT_TEXT(documents_of(ix) + "|" + tokens_of(ix), t.documents + "|" + t.tokens);
    for (NameId tk = 0; tk < ix.token_name_count(); ++tk) {
      const PostingList& list = ix.postings(tk);
      if (list.full_blocks() == 0) continue;
      std::vector<int32_t> counts(list.size());
      for (uint32_t k = 0; k < list.size(); ++k) counts[k] = list.count(k);
      PostingList fresh;
      fresh.assign(list.docs(), counts.data(), list.size(), ix.length_table(), list.block(0).average);
      CHECK_EQ(fresh.bytes(), list.bytes());
      for (uint32_t b = 0; b < list.full_blocks(); ++b) {
        CHECK_EQ(std::memcmp(&fresh.block(b), &list.block(b), sizeof(BlockBounds)), 0);
      }
    }
  }
}

TEST(files_that_do_not_mirror_each_other_load_exactly) {
  const Texts base = texts_of(varied_index(60));
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    CHECK(at != std::string::npos);
    return text.replace(at, from.size(), to);
  };
  const std::vector<Texts> cases = {
      // A count that differs, a posting too many, a token missing.
      {base.documents, replaced(base.tokens, "\"doc-7919\":1", "\"doc-7919\":2")},
      {base.documents, replaced(base.tokens, "\"doc-7919\":1", "\"doc-7919\":1,\"ghost\":1")},
      {base.documents, replaced(base.tokens, "{\"w0\":", "{\"w0x\":")},
      // Repeated keys and names: the later replaces the earlier (and the
      // files then agree).
      {replaced(base.documents, "{", R"({"doc-7919":{"id":"x","maps":{"w1":1}},)"), base.tokens},
      {replaced(base.documents, "\"maps\":{", "\"maps\":{\"w3\":9,"), base.tokens},
      {base.documents, replaced(base.tokens, "\"maps\":{", "\"maps\":{\"doc-7919\":4,")},
      {base.documents, replaced(base.tokens, "{", R"({"w1":{"text":"w1","maps":{}},)")},
      // One file empty, or both.
      {base.documents, "{}"},
      {"{}", base.tokens},
      {"{}", "{}"},
  };
  for (const Texts& t : cases) {
    bool agree = false;
    const std::string expected = exact_reading(t, &agree);
    for (const size_t threads : {1, 2}) {
      bool mirrored = !agree;
      EXPECT_TEXT(loaded(t, 5, threads, &mirrored), expected);
      CHECK_EQ(mirrored, agree);
    }
  }
}

TEST(errors_keep_their_order_when_both_files_are_read_at_once) {
  const Texts base = texts_of(varied_index(3000));
  const std::string bad_start = "[" + base.tokens.substr(1);
  const std::string bad_end = base.documents.substr(0, base.documents.size() - 1) + ",}";
  const std::vector<Texts> cases = {
      {base.documents, bad_start},  // the token file fails while the documents are being read
      {bad_end, bad_start},         // both fail: the documents file's error is the one
      {bad_end, base.tokens},
      {base.documents, base.tokens.substr(0, base.tokens.size() / 2)},
  };
  for (const Texts& t : cases) {
    const std::string expected = exact_reading(t);
    CHECK(expected.compare(0, 6, "Error(") == 0);
    for (const size_t threads : {1, 2}) {
      for (const size_t piece : {size_t{3}, size_t{65536}}) EXPECT_TEXT(loaded(t, piece, threads), expected);
    }
  }

  // From files: a reading failure of either file outranks any format error,
  // and the index answers as before.
  TempDir dir;
  Index index = sample_index();
  const std::string before = documents_of(index) + tokens_of(index);
  const auto load_fails_with = [&](const std::string& message) {
    for (const char* threads : {"1", "2"}) {
      ::setenv("RAYON_NUM_THREADS", threads, 1);
      const Outcome outcome = capture([&] { load(index, dir.path()); });
      EXPECT_TEXT(outcome.failure, message);
      EXPECT_TEXT(documents_of(index) + tokens_of(index), before);
    }
    ::unsetenv("RAYON_NUM_THREADS");
  };
  write_file(dir / "index.json", bad_end);
  write_file(dir / "token_index.json", base.tokens + "\xff");
  load_fails_with("Unable to read file: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  write_file(dir / "index.json", base.documents + " \xe2\x82");  // a character cut off at the very end
  fs::remove(dir / "token_index.json");
  load_fails_with("Unable to read file: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  write_file(dir / "index.json", bad_end);
  load_fails_with("Unable to read file: " + os_error(2, "NotFound"));
  write_file(dir / "token_index.json", bad_start);
  load_fails_with("called `Result::unwrap()` on an `Err` value: " + exact_reading(Texts{bad_end, bad_start}));
}

TEST(files_read_in_pieces_smaller_than_a_character) {
  TempDir dir;
  const std::string text = "{\"\xc3\xa9\xf0\x9f\x98\x80\":{\"id\":\"\xe4\xb8\xad\",\"maps\":{\"\xe6\x96\x87\":2}}}";
  write_file(dir / "a.json", text);
  for (const size_t piece : {1, 2, 3, 5, 1 << 20}) {
    persist::FileChunks chunks(dir / "a.json", 0, piece);
    IndexBuilder builder;
    persist::decode_documents(chunks, builder);
    EXPECT_TEXT(documents_of(builder.take()), text);
  }
  for (const char* invalid : {"\xe2\x82\x41", "\xf0\x9f\x98", "\xed\xa0\x80"}) {
    write_file(dir / "b.json", "{\"" + std::string(invalid) + "\":{\"id\":\"x\",\"maps\":{}}}");
    for (const size_t piece : {1, 2, 3, 4, 1 << 20}) {
      std::string failure;
      try {
        persist::FileChunks chunks(dir / "b.json", 0, piece);
        std::string_view p;
        while (chunks.next(p)) {
        }
      } catch (const persist::IoFailure& e) {
        failure = e.description;
      }
      EXPECT_TEXT(failure, "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
    }
  }
}

TEST(a_forked_child_loads_on_two_threads) {
  TempDir dir;
  const Index index = varied_index(500);
  capture([&] { save(index, dir.path()); });
  const std::string expected = documents_of(index);
  const std::string failure = failure_in_child([&] {
    ::setenv("RAYON_NUM_THREADS", "2", 1);
    Index child;
    capture([&] { load(child, dir.path()); });
    if (documents_of(child) != expected) throw std::runtime_error("the child loaded another index");
  });
  EXPECT_TEXT(failure, "<none>");
}

TEST(saved_files_larger_than_a_write_piece_are_whole) {
  TempDir dir;
  const Index index = varied_index(20000);
  const Texts t = texts_of(index);
  CHECK(t.documents.size() > persist::kWritePiece && t.tokens.size() > persist::kWritePiece);
  for (const char* threads : {"1", "2"}) {
    ::setenv("RAYON_NUM_THREADS", threads, 1);
    capture([&] { save(index, dir.path()); });
    EXPECT_TEXT(read_file(dir / "index.json"), t.documents);
    EXPECT_TEXT(read_file(dir / "token_index.json"), t.tokens);
    CHECK(names_in(dir.path()) == (std::set<std::string>{"index.json", "token_index.json"}));
  }
  ::unsetenv("RAYON_NUM_THREADS");
}

}  // namespace
