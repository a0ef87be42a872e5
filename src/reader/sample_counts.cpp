// Sample counts per position from the recorded member sizes: what `zel info` reports without
// reading any member.
#include "reader/sample_counts.hpp"

#include <algorithm>

#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"

namespace zel {

Result<std::vector<std::pair<uint8_t, SampleCounts>>> sample_counts(const ZelDataFIle& file,
                                                                    std::string_view channel) {
  std::vector<std::pair<uint8_t, SampleCounts>> counts;
  for (unsigned segment = 0; segment <= 255; ++segment) {
    const std::string suffix = channel_suffix(static_cast<uint8_t>(segment), channel);
    ZEL_ASSIGN_OR_RETURN(const size_t count, file.channel_member_count(suffix));
    if (count == 0) continue;
    auto members = file.channel_members(suffix);
    if (!members) continue;  // a record that could not be read
    SampleCounts found{UINT64_MAX, 0, 0};
    for (const MemberLocator& member : *members) {
      const uint64_t samples = member.uncompressed_size / 4;
      found.fewest = std::min(found.fewest, samples);
      found.most = std::max(found.most, samples);
      if (samples < kBlockValues) ++found.short_positions;
    }
    counts.emplace_back(static_cast<uint8_t>(segment), found);
  }
  return counts;
}

}  // namespace zel
