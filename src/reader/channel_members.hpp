// The names of channel data members: "…/{segment}/channels/{name}.dat".
#pragma once

#include <cstdint>
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

// Whether channel_suffix_starts gives 0 for `suffix`: whether it is itself such a suffix. Every
// name that ends with it is then filed under it, since all that is checked lies inside it.
bool is_channel_suffix(std::string_view suffix) noexcept;

}  // namespace zel
