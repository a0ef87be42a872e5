// The decimal-number grammar of header scalings, read into a correctly rounded double.
#pragma once

#include <string_view>

#include "error/result.hpp"

namespace zel {

// The whole text as a number: optional sign, then digits with an optional point and exponent,
// or one of inf, infinity and nan in any case; nothing before or after. Rounded to nearest, ties
// to even; magnitudes beyond the double range become ±inf or ±0 without error. Fails with
// ParseFloatError (empty text, or any other invalid text).
Result<double> parse_decimal(std::string_view text);

}  // namespace zel
