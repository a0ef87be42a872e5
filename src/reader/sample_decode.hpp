// Decoding a member's big-endian 4-byte raw values into scaled doubles.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "archive/bytes.hpp"

namespace zel {

// The NaN that fills a grid position's block past its member's values.
inline constexpr uint64_t kFillBits = 0x7FF8000000000000;

// out[i] = raw[i] * multiplier + offset, each operation rounded on its own (the build forbids
// fused multiply-add); raw values are floats or signed 32-bit integers.
template <bool Float>
void decode_samples(const uint8_t* bytes, size_t count, double multiplier, double offset,
                    double* out) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word = be32(bytes + 4 * i);
    const double raw = Float ? static_cast<double>(std::bit_cast<float>(word))
                             : static_cast<double>(std::bit_cast<int32_t>(word));
    out[i] = raw * multiplier + offset;
  }
}

inline void decode_samples(bool float_data, const uint8_t* bytes, size_t count, double multiplier,
                           double offset, double* out) {
  if (float_data) {
    decode_samples<true>(bytes, count, multiplier, offset, out);
  } else {
    decode_samples<false>(bytes, count, multiplier, offset, out);
  }
}

}  // namespace zel
