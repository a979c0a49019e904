#include "persist/file_io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "persist/utf8.hpp"

namespace vantoro::persist {
namespace {

// Closes a descriptor on every path out; a failure to close is not reported.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }
  int get() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::string checked_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw IoFailure{std::string(kNulInPath)};
  return std::string(path);
}

// Writes all of `bytes`, repeating interrupted and partial writes.
void write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
    } else if (n == 0) {
      throw IoFailure{std::string(kWriteZero)};
    } else if (errno != EINTR) {
      throw_os_error(errno);
    }
  }
}

// Opens the target for writing without truncating it. Sets `created` when
// this call made the file.
int open_target(const std::string& path, bool& created) {
  created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created = true;
    return fd;
  }
  if (errno != EEXIST) return fd;
  // A symbolic link to a missing file (or a file that appeared meanwhile):
  // opening with O_CREAT follows the link and creates its target.
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  created = fd >= 0;
  return fd;
}

// The path that a rename must replace: the file itself, not a symbolic link
// that leads to it. Empty when the link cannot be resolved.
std::string rename_target(const std::string& path) {
  struct stat link_status;
  if (::lstat(path.c_str(), &link_status) != 0 || !S_ISLNK(link_status.st_mode)) return path;
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates a new, empty temporary file next to `target`; returns -1 with
// errno set when the directory refuses it.
int create_temporary(const std::string& target, std::string& name) {
  static std::atomic<uint64_t> sequence{0};
  const size_t slash = target.rfind('/');
  const std::string prefix = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1, 128);
  for (int attempt = 0; attempt < 64; ++attempt) {
    name = prefix + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(sequence.fetch_add(1, std::memory_order_relaxed));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void sync_directory(const std::string& path) {
  Descriptor dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());  // best effort: the data itself is already on storage
}

void write_in_place(int fd, std::string_view bytes, bool regular) {
  if (regular && ::ftruncate(fd, 0) != 0) throw_os_error(errno);
  write_all(fd, bytes);
}

// Writes `bytes` to a temporary file beside `target` with the given status's
// mode and owner, flushes it and renames it over `target`. Returns false,
// having changed nothing, when the temporary file cannot be made (the
// directory refuses new files: permissions, a read-only mount, no free
// inodes, a name too long) or cannot be renamed over the target (a sticky
// directory, a bind-mounted file): the caller then writes in place. A failure
// to write or flush the data is reported, with the target untouched.
bool replace_by_rename(const std::string& target, const struct stat& status, std::string_view bytes) {
  std::string temporary;
  Descriptor out(create_temporary(target, temporary));
  if (out.get() < 0) return false;
  bool made = false;  // the temporary file holds the data and is flushed
  try {
    if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
      // Only possible with the privilege to do so; otherwise the new file
      // belongs to us, as any newly written file would.
      if (::fchown(out.get(), status.st_uid, status.st_gid) != 0) { /* keep our ownership */ }
    }
    if (::fchmod(out.get(), status.st_mode & 07777) == 0) {
      write_all(out.get(), bytes);
      if (::fsync(out.get()) != 0) throw_os_error(errno);
      made = true;
    }
    out.close();
    if (made && ::rename(temporary.c_str(), target.c_str()) == 0) {
      sync_directory(target);
      return true;
    }
  } catch (...) {
    out.close();
    ::unlink(temporary.c_str());
    throw;
  }
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace

ByteBuffer read_text_file(std::string_view path_text) {
  const std::string path = checked_path(path_text);
  Descriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw_os_error(errno);

  ByteBuffer text;
  struct stat status;
  if (::fstat(in.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    text.reserve(static_cast<size_t>(status.st_size) + 1);  // +1: the end is seen without a regrowth
  }
  for (;;) {
    if (text.size() == text.capacity()) text.ensure(65536);
    const ssize_t n = ::read(in.get(), text.end(), text.capacity() - text.size());
    if (n > 0) {
      text.commit(static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      throw_os_error(errno);
    }
  }
  in.close();
  if (!is_valid_utf8(text.view())) throw IoFailure{std::string(kInvalidUtf8)};
  return text;
}

void replace_file(std::string_view path_text, std::string_view bytes) {
  const std::string path = checked_path(path_text);
  bool created = false;
  Descriptor target(open_target(path, created));
  if (target.get() < 0) throw_os_error(errno);

  struct stat status;
  if (::fstat(target.get(), &status) != 0) throw_os_error(errno);
  if (!S_ISREG(status.st_mode)) {
    write_in_place(target.get(), bytes, false);
    return;
  }

  std::string resolved;
  try {
    resolved = rename_target(path);
    if (!resolved.empty() && replace_by_rename(resolved, status, bytes)) return;
    // The target can be written but not replaced: write it in place.
    write_in_place(target.get(), bytes, true);
  } catch (...) {
    if (created && !resolved.empty()) ::unlink(resolved.c_str());
    throw;
  }
}

}  // namespace vantoro::persist
