// Descriptors closed in the background: every one handed over is closed,
// a child forked meanwhile holds none of them, and a large replaced file's
// old storage is let go once save's call has returned.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "persist/background_close.hpp"
#include "persist/file_io.hpp"

namespace fs = std::filesystem;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Waits up to five seconds for `done`.
template <class Done>
bool eventually(Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Descriptors of this process that lead to a deleted file.
int deleted_files_held() {
  int held = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (!error && target.find(" (deleted)") != std::string::npos) ++held;
  }
  return held;
}

fs::path scratch_directory() {
  char pattern[] = "/tmp/vantoro-close-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made ? fs::path(made) : fs::path();
}

}  // namespace

TEST(every_descriptor_handed_over_is_closed) {
  const int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  CHECK(file >= 0);
  std::vector<int> handed;
  for (int i = 0; i < 200; ++i) {
    const int fd = ::dup(file);
    CHECK(fd >= 0);
    handed.push_back(fd);
    vantoro::persist::close_in_background(fd);
  }
  ::close(file);
  CHECK(eventually([&] {
    for (const int fd : handed) {
      if (is_open(fd)) return false;
    }
    return true;
  }));
  vantoro::persist::close_in_background(-1);  // nothing to close: no effect
}

TEST(a_child_forked_while_closes_are_pending_holds_none_of_them) {
  const int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  CHECK(file >= 0);
  int children_with_open_descriptors = 0;
  for (int round = 0; round < 50; ++round) {
    std::vector<int> handed;
    for (int i = 0; i < 64; ++i) {
      const int fd = ::dup(file);
      handed.push_back(fd);
      vantoro::persist::close_in_background(fd);
    }
    const pid_t child = ::fork();
    if (child == 0) {
      int still_open = 0;
      for (const int fd : handed) still_open += is_open(fd);
      ::_exit(still_open == 0 ? 0 : 1);
    }
    CHECK(child > 0);
    int status = 0;
    CHECK_EQ(::waitpid(child, &status, 0), child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++children_with_open_descriptors;
  }
  CHECK_EQ(children_with_open_descriptors, 0);
  ::close(file);
}

TEST(a_large_replaced_file_is_let_go_after_the_call) {
  const fs::path directory = scratch_directory();
  CHECK(!directory.empty());
  const std::string path = (directory / "index.json").string();
  const std::string large(vantoro::persist::FileReplacement::kCloseInBackgroundBytes + 1, 'x');
  const int held_before = deleted_files_held();
  vantoro::persist::replace_file(path, large);
  vantoro::persist::replace_file(path, "{}");  // replaces the large file
  {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CHECK_EQ(text, std::string("{}"));
  }
  CHECK(eventually([&] { return deleted_files_held() == held_before; }));
  vantoro::persist::replace_file(path, "[]");  // a small file is let go at once
  CHECK_EQ(deleted_files_held(), held_before);
  fs::remove_all(directory);
}
