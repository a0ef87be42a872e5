// Reading one channel of one segment into a flat buffer of doubles.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

// Values per grid position; members with fewer are filled up with NaN.
inline constexpr size_t kBlockValues = 100;

struct FreeDeleter {
  void operator()(void* memory) const noexcept { std::free(memory); }
};
// Allocated with malloc, so that whoever takes it over releases it with free.
using DoubleBuffer = std::unique_ptr<double[], FreeDeleter>;

struct ChannelData {
  DoubleBuffer values;  // never null, also when `count` is 0
  uint64_t count;       // values decoded: at least kBlockValues per member
  // Whether `values` holds all `count` values. A member with more than kBlockValues values
  // makes the values impossible to lay out on the grid; then only the first block is kept
  // (enough for the diagnostic line), so that members claiming huge sizes cost no memory.
  bool held;
  uint64_t members;     // matching members, in central-directory order
  uint64_t side;        // the integer square root of `members`, rounded down
};

// Every member whose name ends in "/{segment}/channels/{name}.dat", decoded and scaled into
// `unit_type`, NaN-filled to kBlockValues values each, one block after another in member order.
// Writes the diagnostic line with the second value. A segment without members is NoFile.
Result<ChannelData> read_channel(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                 std::string_view unit_type);

}  // namespace zel
