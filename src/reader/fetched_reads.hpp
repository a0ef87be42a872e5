// Reading a data file whose bytes someone else fetches: which byte ranges an open and a read
// need, and the same open and reads over the fetched pieces. Nothing here waits for a network.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "archive/byte_source.hpp"
#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

// Where the central directory lies, from pieces that hold the object's last 64 KiB + 98 bytes
// (the largest comment and both Zip64 end records). A read error whose source reports a
// missing range when the records lie elsewhere.
Result<ByteRange> directory_range(const ByteSource& tail);

// How requests are merged. Two members closer than max_gap are fetched together, the bytes
// between them included; no merged request grows past max_block (a single member may).
struct RangePolicy {
  uint64_t max_gap;
  uint64_t max_block;
};

// The byte ranges, merged by `policy` and ascending, that hold the members of `channel`'s
// `segments` in the grid rows start, start + step, ... (count of them). Members that cannot be
// located are left out: the read reports them, in its order.
std::vector<ByteRange> plan_row_ranges(const ZelDataFIle& file, std::string_view channel,
                                       std::span<const uint8_t> segments, int64_t row_start,
                                       int64_t row_step, uint64_t row_count, RangePolicy policy);

}  // namespace zel
