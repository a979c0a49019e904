// Numbers as failure descriptions show them.
#pragma once

#include <string>

namespace vantoro::persist {

// A finite double in plain decimal notation: no exponent, the fewest
// significant digits that read back to the same value, and no fractional
// part when the value is whole (1.0 gives "1", 1e20 gives
// "100000000000000000000", 2.5e-3 gives "0.0025", -0.0 gives "-0").
std::string plain_decimal(double value);

}  // namespace vantoro::persist
