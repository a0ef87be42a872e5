// Shortest digits come from std::to_chars in scientific form, which keeps them apart from the
// exponent; the exponent is then spelled out as zeros or a point position.
#include "header/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace zel {

void append_double(std::string& out, double value) {
  if (std::isnan(value)) {  // a negative NaN too: to_chars would write "-nan"
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // At most "-d.dddddddddddddddde-324": 17 digits, sign, point, 'e', exponent sign, 3 digits.
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) return;  // cannot happen: the buffer holds any double
  std::string_view text(buffer, static_cast<size_t>(end - buffer));

  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits(text.substr(0, e));  // "d" or "d.ddd"
  if (digits.size() > 1) digits.erase(1, 1);
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);

  // value = 0.d1d2...dn x 10^(exponent + 1): `point` digits stand before the point.
  const int point = exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
}

std::string format_double(double value) {
  std::string text;
  append_double(text, value);
  return text;
}

}  // namespace zel
