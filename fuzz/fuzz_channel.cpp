// Opening a fuzzed data file and reading every channel it names, in each of its units, as
// get_channel_data does: values on the grid are one block per member, and values that are not
// are more than the grid holds. Members filed at the first ask are those filed by the open.
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "header/node_path.hpp"
#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"
#include "reader/data_file.hpp"

using namespace zel;

namespace {
fuzz::MemoryFile* memory_file;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  memory_file = new fuzz::MemoryFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = memory_file->write(data, size);
  auto file = ZelDataFIle::create(path, MemberFiling::kWhenAsked);
  if (!file) return 0;
  // The same file with its members filed by the open: every lookup must agree with the one
  // filed at the first ask, member for member or error for error.
  auto filed = ZelDataFIle::create(path, MemberFiling::kAtOpen);
  fuzz::expect(filed.has_value(), "an archive that opens opens with its members filed");
  auto same_lookup = [&](const std::string& suffix) {
    auto asked = file->channel_members(suffix);
    auto at_open = filed->channel_members(suffix);
    fuzz::expect(asked.has_value() == at_open.has_value(), "both lookups fail or neither");
    if (!asked) {
      fuzz::expect(message(asked.error()) == message(at_open.error()), "the same failure");
      return;
    }
    fuzz::expect(asked->size() == at_open->size() &&
                     (asked->empty() || std::memcmp(asked->data(), at_open->data(),
                                                    asked->size() * sizeof(MemberLocator)) == 0),
                 "the same members");
  };
  auto channels = file->header.get_channels();
  if (!channels) return 0;
  size_t asked = 0;
  for (const ZelHeader::Channel& channel : *channels) {
    if (++asked > 4) break;
    std::vector<std::string_view> units;
    if (auto listed = file->header.get_unit_types(channel.name)) units = *listed;
    if (auto base = get_path(file->header.data(),
                             {"lcd-info", channel.id, "conversion-set", "conversions", "base"})) {
      if (auto text = as_value(*base)) units.push_back(*text);
    }
    for (std::string_view unit : units) {
      for (const uint8_t segment : {uint8_t{0}, uint8_t{1}, uint8_t{255}}) {
        same_lookup(channel_suffix(segment, channel.name));
        auto read = read_channel(*file, channel.name, segment, unit);
        if (!read) continue;
        const auto [members, side] = std::visit(
            [](const auto& values) { return std::pair(values.members, values.side); }, *read);
        fuzz::expect(members > 0, "a channel that reads has members");
        fuzz::expect(side * side <= members && (side + 1) * (side + 1) > members,
                     "the side is the integer square root");
        if (const auto* grid = std::get_if<GridValues>(&*read)) {
          fuzz::expect(grid->values.size() == members * kBlockValues, "a block per member");
          // Each block is its member's values, then NaN up to kBlockValues. The index gives
          // the members' verified sizes; a length that lies is an overrun the sanitizer sees.
          auto located = file->channel_members(channel_suffix(segment, channel.name));
          fuzz::expect(located && located->size() == members, "the members read are indexed");
          const std::span<const double> values = grid->values.span();
          for (uint64_t i = 0; i < members; ++i) {
            const uint64_t held = (*located)[i].uncompressed_size / 4;
            fuzz::expect(held <= kBlockValues, "a member on the grid fits its block");
            for (uint64_t k = held; k < kBlockValues; ++k) {
              fuzz::expect(std::isnan(values[i * kBlockValues + k]), "a block is NaN-filled");
            }
          }
        } else {
          const auto& too_many = std::get<TooManyValues>(*read);
          fuzz::expect(too_many.count > members * kBlockValues,
                       "values not on the grid are more than the grid holds");
        }
      }
    }
  }
  return 0;
}
