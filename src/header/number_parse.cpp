// Decimal numbers: our own grammar check in front of std::from_chars, which rounds correctly
// but accepts more than the grammar (nan(...)) and less (a leading '+', out-of-range values).
// Where the standard library has no from_chars for double, fast_float's, on which libstdc++'s is
// built, rounds the same digits to the same double.
#include "header/number_parse.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#if ZEL_USE_FAST_FLOAT
#include <fast_float/fast_float.h>
#endif

namespace zel {

namespace {

#if ZEL_USE_FAST_FLOAT
namespace decimal = fast_float;
#else
namespace decimal = std;
#endif

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Where the first significant digit of a valid number sits: its power of ten, saturated far
// beyond the double range. Only its sign matters, to tell an overflow from an underflow.
struct Magnitude {
  bool zero = true;  // every digit is 0
  int64_t lead = 0;  // power of ten of the first non-zero digit
};

// Exponents are not grown past this, so the digits of a huge exponent cannot overflow.
constexpr int64_t kSaturated = 100'000'000'000'000'000;

// Checks `text` (no sign) against the grammar of a number; on success fills `magnitude`.
bool scan_number(std::string_view text, Magnitude& magnitude) noexcept {
  size_t i = 0;
  const size_t n = text.size();
  int64_t position = 0;  // digits seen so far, integer and fraction part together
  int64_t first_nonzero = -1;
  size_t int_digits = 0;
  for (; i < n && is_digit(text[i]); ++i, ++int_digits, ++position) {
    if (first_nonzero < 0 && text[i] != '0') first_nonzero = position;
  }
  size_t fraction_digits = 0;
  if (i < n && text[i] == '.') {
    for (++i; i < n && is_digit(text[i]); ++i, ++fraction_digits, ++position) {
      if (first_nonzero < 0 && text[i] != '0') first_nonzero = position;
    }
  }
  if (int_digits == 0 && fraction_digits == 0) return false;
  int64_t exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == n || !is_digit(text[i])) return false;
    for (; i < n && is_digit(text[i]); ++i) {
      if (exponent < kSaturated) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (i != n) return false;
  magnitude.zero = first_nonzero < 0;
  if (!magnitude.zero) {
    magnitude.lead = static_cast<int64_t>(int_digits) - 1 - first_nonzero + exponent;
  }
  return true;
}

}  // namespace

Result<double> parse_decimal(std::string_view text) {
  if (text.empty()) return error::ParseFloatError{true};
  const bool negative = text.front() == '-';
  if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
  const auto sign = [negative](double value) { return negative ? -value : value; };

  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    return sign(std::numeric_limits<double>::infinity());
  }
  if (equals_ignoring_case(text, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());

  Magnitude magnitude;
  if (!scan_number(text, magnitude)) return error::ParseFloatError{false};
  // The sign is applied afterwards: negation is exact and rounding to nearest is symmetric.
  double value = 0;
  const auto [end, ec] = decimal::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    value = magnitude.lead >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != text.data() + text.size()) {
    return error::ParseFloatError{false};  // cannot happen after the scan; kept as a guard
  }
  return sign(value);
}

}  // namespace zel
