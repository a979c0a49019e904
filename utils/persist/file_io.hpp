// Reading and writing the files of save and load. Failures throw IoFailure
// with the description that follows "Unable to read file: " or "Unable to
// write file: ".
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "persist/os_error.hpp"
#include "persist/text_stream.hpp"
#include "persist/utf8.hpp"

namespace vantoro::persist {

// A file read a piece at a time (kReadPiece bytes), each piece checked as
// UTF-8 as it arrives; the file is never held whole.
class FileChunks final : public TextChunks {
 public:
  static constexpr size_t kReadPiece = size_t{1} << 20;

  // Opens the file for reading from `offset` (the first byte of a
  // character: the UTF-8 check starts there).
  explicit FileChunks(std::string_view path, uint64_t offset = 0, size_t piece = kReadPiece);
  ~FileChunks() override;
  FileChunks(const FileChunks&) = delete;
  FileChunks& operator=(const FileChunks&) = delete;

  bool next(std::string_view& piece) override;
  uint64_t total_size() const override { return size_; }

 private:
  // Frees the page-aligned buffer.
  struct BufferDelete {
    void operator()(char* buffer) const noexcept;
  };
  int fd_ = -1;
  uint64_t size_ = 0;
  std::unique_ptr<char, BufferDelete> buffer_;
  size_t capacity_;
  Utf8Stream utf8_;
};

// Writes a whole text into `out`, in pieces.
using TextWriter = std::function<void(TextOutput& out)>;

// Makes the file at `path` hold exactly the text that `write` produces, in
// two steps, so that two files can be written at once and the second kept
// back until the first is in place.
//
// A regular file (a symbolic link is followed to it) is never left half
// written: the text goes to a new temporary file in the same directory,
// which is flushed to storage and then renamed over the target. The new file
// keeps the permission bits of the file it replaces; a file that did not
// exist gets 0666 less the umask, and is not left behind when the save fails.
// The target is opened for writing first, so a path that cannot be written
// fails with the error of that opening before anything else happens.
//
// Anything else that can be opened for writing (a device such as /dev/null,
// a FIFO) is written in place. So is a regular file when the temporary file
// cannot be created (with the target's permission bits) or renamed over the
// target, whatever the reason; a failure of that in-place write is the one
// reported. A failure to write or flush the temporary file is reported with
// the target untouched. An in-place write produces the text a second time
// when it follows an attempt at a temporary file.
class FileReplacement {
 public:
  // Opens the target.
  explicit FileReplacement(std::string_view path);
  // Without commit(): the temporary file and a target that this object
  // created are removed.
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Writes the text into a temporary file and flushes it, where the target
  // is to be replaced; the target itself is not touched.
  void prepare(const TextWriter& write);
  // Puts the text in place: renames the temporary file over the target, or
  // else writes the target in place.
  void commit(const TextWriter& write);
  // Lets go of the target's descriptor. Where a rename replaced the target,
  // that is the last hold on the old file, whose storage the system frees
  // as it is closed: a tenth of a second for a gigabyte. An old file of
  // kCloseInBackgroundBytes or more is therefore closed on a background
  // thread (background_close.hpp), a smaller one here.
  void release_target() noexcept;

  static constexpr uint64_t kCloseInBackgroundBytes = uint64_t{8} << 20;

 private:
  std::string path_;
  std::string resolved_;   // the file a rename replaces; empty when a link cannot be resolved
  std::string temporary_;  // the flushed temporary file, if any
  int target_ = -1;
  struct stat status_ = {};
  bool created_ = false;
  bool committed_ = false;
  bool replaced_ = false;  // renamed over the target: the descriptor holds the old file
};

// FileReplacement's two steps at once.
void replace_file(std::string_view path, const TextWriter& write);
void replace_file(std::string_view path, std::string_view bytes);

}  // namespace vantoro::persist
