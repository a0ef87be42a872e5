// Sample counts per position from the recorded member sizes: what `zel info` reports without
// reading any member.
#include "reader/sample_counts.hpp"

#include <algorithm>

#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"

namespace zel {

std::vector<std::pair<uint8_t, SampleCounts>> sample_counts(const ZelDataFIle& file,
                                                            std::string_view channel) {
  std::vector<std::pair<uint8_t, SampleCounts>> counts;
  for (unsigned segment = 0; segment <= 255; ++segment) {
    auto members = file.members.find(channel_suffix(static_cast<uint8_t>(segment), channel));
    if (!members || members->empty()) continue;
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
