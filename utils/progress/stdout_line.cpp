#include "progress/stdout_line.hpp"

#include <errno.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "fault.hpp"
#include "progress/system_error_text.hpp"

namespace vantoro {
namespace {

std::mutex& output_lock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: usable at exit
  return *lock;
}

}  // namespace

void write_stdout(std::string_view lines) {
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(output_lock());
    const char* p = lines.data();
    size_t left = lines.size();
    while (left > 0) {
      ssize_t n = ::write(1, p, left);
      if (n > 0) {
        p += n;
        left -= static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        error = n < 0 ? errno : 0;
        break;
      }
    }
    if (left == 0 || error == EBADF) return;
  }
  // A failed write fails this call only; the lock stays usable.
  if (error == 0) throw Fault("failed printing to stdout: failed to write whole buffer");
  throw Fault("failed printing to stdout: " + system_error_text(error) + " (os error " + std::to_string(error) + ")");
}

}  // namespace vantoro
