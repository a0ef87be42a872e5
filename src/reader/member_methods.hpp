// The compression methods of a channel's members, to explain a read that fails on one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

inline constexpr uint16_t kMethodDeflate = 8;

struct MemberMethod {
  std::string name;  // the raw member name
  uint16_t method;   // as its local header records it: 0 stored, 8 DEFLATE, ...
};

// The members of `channel` in `segments` whose local headers record another method than
// DEFLATE, in directory order, at most `limit` of them. It walks the central directory again on
// a reader of its own, so it is meant for after a read failed, not for every read. Members
// whose locator or local header cannot be read are skipped: their reads report them; so are
// empty members, which read whatever their method.
Result<std::vector<MemberMethod>> non_deflate_members(const ZelDataFIle& file,
                                                      std::string_view channel,
                                                      std::span<const uint8_t> segments,
                                                      size_t limit);

// The same for the header member of the archive at `location`, for when opening it failed:
// an empty list when it is a DEFLATE stream, or when the archive itself cannot be read.
Result<std::vector<MemberMethod>> non_deflate_header(const std::string& location);

}  // namespace zel
