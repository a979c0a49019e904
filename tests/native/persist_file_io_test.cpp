// replace_file when the file system refuses the temporary file or the rename.
// This binary is linked with --wrap for open, rename and write, so that each
// refusal can be simulated with the error number a real file system gives
// (a read-only mount, no free inodes, a sticky directory, ...); without a
// simulated failure every call goes to the real function.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "check.hpp"
#include "persist/file_io.hpp"
#include "persist/os_error.hpp"
#include "persist_test_util.hpp"

namespace fs = std::filesystem;

namespace {

// The failures to simulate; 0 means none.
int create_temporary_error = 0;  // open() of a temporary file (its name holds ".tmp-")
int rename_error = 0;
int write_error = 0;             // every write() to a descriptor other than 0, 1 and 2
int writes_seen = 0;

}  // namespace

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_rename(const char* from, const char* to);
ssize_t __real_write(int fd, const void* data, size_t size);

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (create_temporary_error != 0 && std::strstr(path, ".tmp-") != nullptr) {
    errno = create_temporary_error;
    return -1;
  }
  return __real_open(path, flags, mode);
}

int __wrap_rename(const char* from, const char* to) {
  if (rename_error != 0) {
    errno = rename_error;
    return -1;
  }
  return __real_rename(from, to);
}

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (fd > 2) ++writes_seen;
  if (write_error != 0 && fd > 2) {
    errno = write_error;
    return -1;
  }
  return __real_write(fd, data, size);
}
}

namespace {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vantoro-file-io-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }
  // Names in the directory, sorted.
  std::string listing() const {
    std::string names;
    for (const auto& entry : fs::directory_iterator(path_)) names += entry.path().filename().string() + " ";
    return names;
  }

 private:
  std::string path_;
};

std::string content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// replace_file's failure description, or "" when it succeeded.
std::string replace(const std::string& path, std::string_view bytes) {
  try {
    vantoro::persist::replace_file(path, bytes);
    return "";
  } catch (const vantoro::persist::IoFailure& failure) {
    return failure.description;
  }
}

void reset() { create_temporary_error = rename_error = write_error = writes_seen = 0; }

}  // namespace

TEST(a_temporary_file_that_cannot_be_created_means_writing_in_place) {
  // EROFS: a bind-mounted file on a read-only mount; ENOSPC: no free
  // inodes; ENAMETOOLONG: a path with no room for the temporary name.
  for (int error : {EROFS, ENOSPC, ENAMETOOLONG, EACCES, EPERM, EDQUOT, EMFILE, EIO}) {
    TempDir dir;
    put(dir.file("index.json"), "previous content, longer than the new");
    reset();
    create_temporary_error = error;
    EXPECT_TEXT(replace(dir.file("index.json"), "new"), "");
    EXPECT_TEXT(content(dir.file("index.json")), "new");
    EXPECT_TEXT(dir.listing(), "index.json ");
    // A file that did not exist is created and written.
    EXPECT_TEXT(replace(dir.file("fresh.json"), "fresh"), "");
    EXPECT_TEXT(content(dir.file("fresh.json")), "fresh");
  }
  reset();
}

TEST(a_rename_that_is_refused_means_writing_in_place) {
  // EPERM: a sticky directory whose file belongs to someone else; EBUSY and
  // EXDEV: a bind-mounted file; EROFS: a read-only mount.
  for (int error : {EPERM, EBUSY, EXDEV, EROFS, EACCES, ENOSPC}) {
    TempDir dir;
    put(dir.file("index.json"), "previous content");
    ::chmod(dir.file("index.json").c_str(), 0640);
    reset();
    rename_error = error;
    EXPECT_TEXT(replace(dir.file("index.json"), "new"), "");
    EXPECT_TEXT(content(dir.file("index.json")), "new");
    EXPECT_TEXT(dir.listing(), "index.json ");  // the temporary file is gone
    struct stat status;
    CHECK(::stat(dir.file("index.json").c_str(), &status) == 0 && (status.st_mode & 07777) == 0640);
  }
  reset();
}

TEST(when_writing_in_place_fails_too_its_error_is_reported) {
  TempDir dir;
  put(dir.file("index.json"), "previous");
  reset();
  create_temporary_error = EROFS;
  write_error = ENOSPC;
  EXPECT_TEXT(replace(dir.file("index.json"), "new"), vantoro::persist::os_error_description(ENOSPC));
  // A file that this save created is not left behind.
  EXPECT_TEXT(replace(dir.file("fresh.json"), "new"), vantoro::persist::os_error_description(ENOSPC));
  EXPECT_TEXT(dir.listing(), "index.json ");
  reset();
}

TEST(a_failure_to_write_the_temporary_file_keeps_the_target) {
  // The temporary file was made, so the data itself did not fit: writing in
  // place would lose the previous file as well.
  for (int error : {ENOSPC, EDQUOT, EFBIG, EIO}) {
    TempDir dir;
    put(dir.file("index.json"), "previous");
    reset();
    write_error = error;
    EXPECT_TEXT(replace(dir.file("index.json"), "new"), vantoro::persist::os_error_description(error));
    CHECK_EQ(writes_seen, 1);  // the temporary file's write only
    EXPECT_TEXT(content(dir.file("index.json")), "previous");
    EXPECT_TEXT(dir.listing(), "index.json ");
  }
  reset();
}

TEST(without_simulated_failures_the_file_is_replaced) {
  TempDir dir;
  put(dir.file("index.json"), "previous");
  const auto before = fs::status(dir.file("index.json"));
  reset();
  EXPECT_TEXT(replace(dir.file("index.json"), "new"), "");
  EXPECT_TEXT(content(dir.file("index.json")), "new");
  CHECK(before.type() == fs::file_type::regular);
}
