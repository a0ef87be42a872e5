// Index slices from any bytes: the open refuses them, or gives an archive whose lookups and
// planner hold up and from which the same slice is made again.
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "archive/byte_source.hpp"
#include "fuzz_support.hpp"
#include "reader/fetched_reads.hpp"
#include "reader/index_slice.hpp"
#include "reader/row_reads.hpp"

using namespace zel;

namespace {

uint64_t little_endian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes.size(); ++i) value |= uint64_t{bytes[i]} << (8 * i);
  return value;
}

// The text field that starts at `at`, or an empty view when the input ends first; `at` moves
// past it.
std::string_view field(std::span<const uint8_t> input, size_t& at) {
  if (input.size() < at + 4) return {};
  const uint64_t length = little_endian(input.subspan(at, 4));
  if (input.size() - at - 4 < length) return {};
  const auto* start = reinterpret_cast<const char*>(input.data() + at + 4);
  at += 4 + length;
  return {start, static_cast<size_t>(length)};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  // The object's size and version as the input records them, so that inputs reach past the
  // check that they match; the channel read the same way.
  size_t at = 16;
  const uint64_t object_size = size >= 16 ? little_endian(input.subspan(8, 8)) : 0;
  const std::string_view version = field(input, at);
  (void)field(input, at);  // the header
  const std::string_view channel = field(input, at);

  auto opened = open_index_slice("fuzz", ByteSource(std::make_shared<FetchedBytes>(object_size)),
                                 version, input);
  if (!opened) return 0;
  std::vector<uint8_t> segments;
  for (unsigned segment = 0; segment < 256; ++segment) {
    auto grid = segment_grid(*opened, channel, static_cast<uint8_t>(segment));
    segments.push_back(static_cast<uint8_t>(segment));
    if (!grid) continue;
    const std::vector<ByteRange> ranges =
        plan_row_ranges(*opened, channel, std::span(&segments.back(), 1), 0, 1, grid->side,
                        RangePolicy{1024, 1 << 20});
    for (size_t i = 0; i < ranges.size(); ++i) {
      fuzz::expect(
          ranges[i].offset < object_size && ranges[i].length <= object_size - ranges[i].offset,
          "a planned range lies inside the object");
      fuzz::expect(i == 0 || ranges[i - 1].offset + ranges[i - 1].length <= ranges[i].offset,
                   "planned ranges ascend and do not overlap");
    }
  }
  auto again = make_index_slice(*opened, channel, segments, version);
  fuzz::expect(again.has_value(), "an opened slice makes a slice");
  auto reopened = open_index_slice("fuzz", ByteSource(std::make_shared<FetchedBytes>(object_size)),
                                   version, *again);
  fuzz::expect(reopened.has_value(), "a made slice opens");
  auto third = make_index_slice(*reopened, channel, segments, version);
  fuzz::expect(third.has_value() && *third == *again, "a slice survives a round trip");
  return 0;
}
