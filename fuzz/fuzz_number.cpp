// The number grammar: what it accepts reads as the C library reads it, and every double formats
// into text that reads back as the same double.
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "header/number_format.hpp"
#include "header/number_parse.hpp"

using namespace zel;

namespace {

bool same(double a, double b) {
  return std::isnan(a) ? std::isnan(b) : std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto parsed = parse_decimal(text)) {
    // Accepted text is a plain decimal number or a spelled infinity or NaN, all of which strtod
    // (in the C locale, as here) reads whole and rounds correctly.
    if (text.find('\0') == std::string::npos) {
      char* end = nullptr;
      const double expected = std::strtod(text.c_str(), &end);
      fuzz::expect(end == text.c_str() + text.size(), "strtod reads all of an accepted number");
      fuzz::expect(same(*parsed, expected), "the parse agrees with strtod");
    }
    const std::string formatted = format_double(*parsed);
    auto again = parse_decimal(formatted);
    fuzz::expect(again.has_value() && same(*again, *parsed), "a parsed number formats back");
  }

  // The first eight bytes as a double: its text reads back as it, and has no exponent.
  if (size >= sizeof(double)) {
    double value;
    std::memcpy(&value, data, sizeof value);
    const std::string formatted = format_double(value);
    fuzz::expect(formatted.find_first_of("eE") == std::string::npos, "no exponent");
    auto again = parse_decimal(formatted);
    fuzz::expect(again.has_value() && same(*again, value), "every double reads back");
  }
  return 0;
}
