// Canonical segment numbers in member names.
#include "python/members/member_readings.hpp"

namespace zel {

std::optional<uint8_t> canonical_segment(std::string_view digits) noexcept {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  if (digits.size() > 1 && digits.front() == '0') return std::nullopt;
  unsigned value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(digit - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<uint8_t>(value);
}

}  // namespace zel
