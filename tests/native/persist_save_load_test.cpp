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
