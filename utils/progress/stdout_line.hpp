// The module's own line-buffered writer on file descriptor 1. Every text it
// is given ends in a line feed, so each call passes one or more whole lines
// straight to the descriptor.
#pragma once

#include <string_view>

namespace vantoro {

// Writes `lines` to file descriptor 1 under the process-wide output lock.
// A closed descriptor (EBADF) drops the output silently; any other failure
// throws Fault "failed printing to stdout: <system text> (os error N)".
void write_stdout(std::string_view lines);

}  // namespace vantoro
