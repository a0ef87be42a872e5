// UTF-8 validation with maximal-subpart fault lengths.
#include "reader/utf8.hpp"

#include <cstdint>

namespace zel {

namespace {
bool continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }
}  // namespace

std::optional<std::string> utf8_fault(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t length = text.size();
  size_t i = 0;
  auto invalid = [&](size_t n) {
    return "invalid utf-8 sequence of " + std::to_string(n) + " bytes from index " +
           std::to_string(i);
  };
  auto incomplete = [&] {
    return "incomplete utf-8 byte sequence from index " + std::to_string(i);
  };
  while (i < length) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range depends on the lead: it excludes overlong forms, surrogates and
    // code points above U+10FFFF, so a bad second byte ends a maximal subpart of length 1.
    size_t width;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return invalid(1);
    }
    if (i + 1 >= length) return incomplete();
    if (bytes[i + 1] < low || bytes[i + 1] > high) return invalid(1);
    for (size_t k = 2; k < width; ++k) {
      if (i + k >= length) return incomplete();
      if (!continuation(bytes[i + k])) return invalid(k);
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace zel
