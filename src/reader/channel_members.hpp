// The names of channel data members: "…/{segment}/channels/{name}.dat".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// The suffix that selects the members of channel `name` in `segment`.
std::string channel_suffix(uint8_t segment, std::string_view name);

// Appends to `starts`, ascending, every offset at which `name` has a suffix that
// channel_suffix gives for some segment and channel: a '/', a segment from 0 to 255 written
// without leading zeros, "/channels/", anything, ".dat". A member name can end with several
// such suffixes (a channel name may itself hold "/0/channels/").
void channel_suffix_starts(std::string_view name, std::vector<uint32_t>& starts);

// How many digits `segment` is written with (no leading zeros).
inline size_t segment_digits(uint8_t segment) { return segment >= 100 ? 3 : segment >= 10 ? 2 : 1; }

// The segment whose digits end right before offset `at` of `name`, where "/channels/" starts:
// 1 to 3 digits after a '/', no leading zero, at most 255. What channel_suffix_starts checks.
std::optional<uint8_t> segment_before(std::string_view name, size_t at) noexcept;

// A suffix that channel_suffix gives: its segment, and the rest, "/channels/{name}.dat".
struct ChannelSuffix {
  uint8_t segment;
  std::string_view tail;
};
// `suffix` taken apart when channel_suffix_starts gives 0 for it, that is when it is itself such
// a suffix. Every name that ends with it is then filed under it, since all that the picker
// checks lies inside it; and a name that ends with its tail is filed under the suffix of the
// segment before the tail, if there is one.
std::optional<ChannelSuffix> parse_channel_suffix(std::string_view suffix) noexcept;

}  // namespace zel
