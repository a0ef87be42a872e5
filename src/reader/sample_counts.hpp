// How many samples the positions of a channel hold, from the member sizes in the directory.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/data_file.hpp"

namespace zel {

// Over the positions (members) of one channel in one segment: a member of L bytes holds
// floor(L / 4) samples, as the reads decode it.
struct SampleCounts {
  uint64_t fewest;
  uint64_t most;
  uint64_t short_positions;  // members with fewer than kBlockValues samples
};

// (segment, counts) for each segment in which `channel` has members, ascending. Nothing is read
// from the file: the sizes are those the directory records, which every read checks. A segment
// whose members include a record that could not be read is left out (reading it fails anyway);
// fails only when the members cannot be filed.
Result<std::vector<std::pair<uint8_t, SampleCounts>>> sample_counts(const ZelDataFIle& file,
                                                                    std::string_view channel);

}  // namespace zel
