// The C library's text for an error number (strerror_r).
#pragma once

#include <string>

namespace vantoro {

std::string system_error_text(int error_number);

}  // namespace vantoro
