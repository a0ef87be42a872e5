// Reading one channel of one segment: every member whose name ends in
// "/{segment}/channels/{name}.dat" is inflated and decoded straight into one flat buffer of
// doubles, sized once from the recorded sizes.
#include "reader/channel_data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "archive/bytes.hpp"
#include "header/number_format.hpp"
#include "output/stdout_writer.hpp"
#include "reader/channel_members.hpp"
#include "reader/sample_decode.hpp"

namespace zel {

namespace {

constexpr size_t kBlock = kBlockValues;

// Values a member contributes to the flat buffer.
uint64_t block_length(const MemberLocator& member) {
  return std::max<uint64_t>(kBlock, member.uncompressed_size / 4);
}

}  // namespace

DoubleBuffer DoubleBuffer::allocate(size_t size) noexcept {
  DoubleBuffer buffer;
  buffer.values_.reset(
      static_cast<double*>(std::malloc(std::max<size_t>(size, 1) * sizeof(double))));
  if (buffer.values_) buffer.size_ = size;
  return buffer;
}

uint64_t grid_side(uint64_t members) noexcept {
  auto side = static_cast<uint64_t>(std::sqrt(static_cast<double>(members)));
  while (side * side > members) --side;
  while ((side + 1) * (side + 1) <= members) ++side;
  return side;
}

Result<ChannelData> read_channel(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                 std::string_view unit_type) {
  ZEL_ASSIGN_OR_RETURN(const ZelHeader::Conversion conversion,
                       file.header.convert_to_type(name, unit_type));
  const double offset = conversion.offset, multiplier = conversion.multiplier;
  const bool float_data = conversion.data_type == "float-data";

  std::string suffix = channel_suffix(segment, name);
  ZEL_ASSIGN_OR_RETURN(const std::span<const MemberLocator> members, file.channel_members(suffix));
  if (members.empty()) return error::NoFile{std::move(suffix)};

  // The buffer is sized once from the recorded sizes, which every member read checks exactly.
  constexpr uint64_t kMaxValues = std::numeric_limits<size_t>::max() / sizeof(double);
  uint64_t total = 0;
  bool fits_grid = true;
  for (const MemberLocator& member : members) {
    // A member that fails these checks is reported by read_members in its turn, after every
    // member before it has been read: the buffer need only hold those.
    if (!file.reader.check_member(member)) break;
    // Members may claim sizes whose sum no buffer can hold (several records can point at the
    // same data); stop adding before the sum could overflow.
    total += std::min(block_length(member), kMaxValues + 1);
    fits_grid = fits_grid && block_length(member) == kBlock;
    if (total > kMaxValues) return io_error("cannot allocate the values of a channel this large");
  }
  // Values that cannot be laid out on the grid are not kept: only the first member's block,
  // for the diagnostic line. Every member is still read and verified, so that a damaged one is
  // reported as before.
  const uint64_t kept = fits_grid ? total : kBlock;
  DoubleBuffer values = DoubleBuffer::allocate(static_cast<size_t>(kept));
  if (!values) return io_error("cannot allocate " + std::to_string(kept) + " values for a channel");

  const double fill = std::bit_cast<double>(kFillBits);
  double* out = values.data();
  auto decode_member = [&](size_t index, std::span<const uint8_t> contents) -> Result<void> {
    if (!fits_grid && index > 0) return {};
    const size_t count = fits_grid ? contents.size() / 4 : std::min(contents.size() / 4, kBlock);
    decode_samples(float_data, contents.data(), count, multiplier, offset, out);
    if (count < kBlock) std::fill(out + count, out + kBlock, fill);
    out += std::max(kBlock, count);
    return {};
  };
  ZEL_TRY(file.reader.read_members(members, decode_member));

  write_stdout(format_double(values.data()[1]) + "\n");

  const uint64_t count = members.size();
  const uint64_t side = grid_side(count);
  if (!fits_grid) return ChannelData{TooManyValues{total, count, side}};
  return ChannelData{GridValues{std::move(values), count, side}};
}

}  // namespace zel
