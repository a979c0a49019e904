// Descriptions of failed file operations, as they follow "Unable to write
// file: " and "Unable to read file: ".
#pragma once

#include <string>
#include <string_view>

namespace vantoro::persist {

// The kind name of an error number ("NotFound" for ENOENT, ...), or
// "Uncategorized".
std::string_view error_kind_name(int error_number);

// Os { code: N, kind: K, message: "<the system's text for N>" }
std::string os_error_description(int error_number);

inline constexpr std::string_view kNulInPath =
    "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }";
inline constexpr std::string_view kInvalidUtf8 =
    "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
inline constexpr std::string_view kWriteZero =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";

// A failed file operation, carrying one of the descriptions above.
struct IoFailure {
  std::string description;
};

[[noreturn]] inline void throw_os_error(int error_number) { throw IoFailure{os_error_description(error_number)}; }

}  // namespace vantoro::persist
