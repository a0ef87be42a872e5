// Little- and big-endian loads from bytes, unchecked: every caller checks the bounds first.
#pragma once

#include <cstdint>
#include <span>

namespace zel {

// Callers check `offset + width <= bytes.size()` before loading; the loads assume it.
inline uint16_t le16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}
inline uint32_t le32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}
inline uint64_t le64(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint64_t>(le32(bytes, offset)) |
         (static_cast<uint64_t>(le32(bytes, offset + 4)) << 32);
}
inline uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace zel
