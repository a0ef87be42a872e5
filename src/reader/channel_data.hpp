// Reading one channel of one segment into a flat buffer of doubles.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <variant>

#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

// Values per grid position; members with fewer are filled up with NaN.
inline constexpr size_t kBlockValues = 100;

// Doubles allocated with malloc (not zero-filled), with their count, so that whoever takes them
// over releases them with free.
class DoubleBuffer {
 public:
  // An empty buffer when the memory cannot be had; at least one double is allocated, so that
  // data() is never null otherwise.
  static DoubleBuffer allocate(size_t size) noexcept;

  explicit operator bool() const noexcept { return values_ != nullptr; }
  double* data() const noexcept { return values_.get(); }
  size_t size() const noexcept { return size_; }
  std::span<const double> span() const noexcept { return {values_.get(), size_}; }
  // Hands the memory over to whoever frees it with free; the buffer is empty afterwards.
  [[nodiscard]] double* release() noexcept {
    size_ = 0;
    return values_.release();
  }

 private:
  struct Free {
    void operator()(double* values) const noexcept { std::free(values); }
  };
  std::unique_ptr<double[], Free> values_;
  size_t size_ = 0;
};

// Every member held at most kBlockValues values: `values` holds kBlockValues per member
// (members * kBlockValues in all), one block after another in member order.
struct GridValues {
  DoubleBuffer values;
  uint64_t members;  // matching members, in central-directory order
  uint64_t side;     // the integer square root of `members`, rounded down
};

// A member held more values than a grid position has room for, so that the values cannot be
// laid out on the grid: `count` > members * kBlockValues >= side * side * kBlockValues. None are
// kept, so that members claiming huge sizes cost no memory.
struct TooManyValues {
  uint64_t count;  // values decoded: kBlockValues per member, or more where a member held more
  uint64_t members;
  uint64_t side;
};

using ChannelData = std::variant<GridValues, TooManyValues>;

// The side of the square grid that `members` members fill: their integer square root, rounded
// down.
uint64_t grid_side(uint64_t members) noexcept;

// Every member whose name ends in "/{segment}/channels/{name}.dat", decoded and scaled into
// `unit_type`, NaN-filled to kBlockValues values each, one block after another in member order.
// Every member is read and verified in either state. Writes the diagnostic line with the second
// value. A segment without members is NoFile.
Result<ChannelData> read_channel(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                 std::string_view unit_type);

}  // namespace zel
