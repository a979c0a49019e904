// Reading and writing whole files for save and load. Failures throw
// IoFailure with the description that follows "Unable to read file: " or
// "Unable to write file: ".
#pragma once

#include <string_view>

#include "persist/byte_buffer.hpp"
#include "persist/os_error.hpp"

namespace vantoro::persist {

// The whole content of the file at `path`, which must be valid UTF-8.
ByteBuffer read_text_file(std::string_view path);

// Makes the file at `path` hold exactly `bytes`.
//
// A regular file (a symbolic link is followed to it) is never left half
// written: the bytes go to a new temporary file in the same directory, which
// is flushed to storage and then renamed over the target. The new file keeps
// the permission bits of the file it replaces; a file that did not exist gets
// 0666 less the umask, and is not left behind when the save fails. The target
// is opened for writing first, so a path that cannot be written fails with
// the error of that opening before anything else happens.
//
// Anything else that can be opened for writing (a device such as /dev/null,
// a FIFO) is written in place. So is a regular file when the temporary file
// cannot be created (with the target's permission bits) or renamed over the
// target, whatever the reason; a failure of that in-place write is the one
// reported. A failure to write or flush the temporary file is reported with
// the target untouched.
void replace_file(std::string_view path, std::string_view bytes);

}  // namespace vantoro::persist
