// MemberLocator: what is kept of a member between walking the directory and reading its data.
#pragma once

#include <cstdint>

#include "error/zel_error.hpp"

namespace zel {

// Why a record's locator could not be read; reported when the member is asked for.
enum class LocatorFault : uint8_t { kNone, kZip64Field, kOffsetRange };

// 32 bytes, so that an index of millions of members stays small.
struct MemberLocator {
  uint64_t uncompressed_size;
  uint64_t compressed_size;
  uint64_t local_header_offset;  // base offset included
  uint32_t crc32;
  uint32_t name_extra_length : 18;  // the central record's name + extra length: the likely local
  uint32_t has_data_descriptor : 1;
  uint32_t fault : 2;  // a LocatorFault
  // Named so that a whole locator is written without reading back the word it shares.
  uint32_t unused : 11;
};
static_assert(sizeof(MemberLocator) == 32);

inline ZelError locator_error(LocatorFault fault) {
  if (fault == LocatorFault::kOffsetRange) {
    return zip_error("invalid Zip archive: local header offset out of range");
  }
  return zip_error("invalid Zip archive: missing or short Zip64 extended information field");
}

}  // namespace zel
