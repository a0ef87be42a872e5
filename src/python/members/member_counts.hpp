// Counting an archive's members by (segment, channel) in one walk of its central directory.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "error/result.hpp"

namespace zel {

struct MemberCounts {
  uint64_t total = 0;  // every central-directory record, directories and the header included
  // Keyed by the segment's byte followed by the channel's raw name bytes.
  std::unordered_map<std::string, uint64_t> by_reading;
};

// Opens the archive at `path` and counts its members without reading any member's data.
Result<MemberCounts> count_members(const std::string& path);

}  // namespace zel
