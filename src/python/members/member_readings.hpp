// The (segment, channel) readings of a raw member name: every way in which the name ends in
// "/{segment}/channels/{channel}.dat", with the segment written as a channel read asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zel {

// The segment that `digits` names when written canonically: "0" to "255", no sign, no leading
// zero. A read of segment s asks for the suffix "/{s}/channels/...", so "007" matches no read.
std::optional<uint8_t> canonical_segment(std::string_view digits) noexcept;

// Calls reading(segment, channel) once for each reading of `name`. A name may have several:
// channel names may themselves hold "/channels/", so "a/1/channels/b/2/channels/c.dat" is read
// by segment 1 of channel "b/2/channels/c" and by segment 2 of channel "c".
template <class Reading>
void for_each_reading(std::string_view name, Reading&& reading) {
  constexpr std::string_view kChannels = "/channels/";
  constexpr std::string_view kDat = ".dat";
  if (!name.ends_with(kDat)) return;
  const size_t channel_end = name.size() - kDat.size();
  // Occurrences may overlap ("/channels/channels/"), so the search moves on by one byte.
  for (size_t at = name.find(kChannels); at != std::string_view::npos;
       at = name.find(kChannels, at + 1)) {
    const size_t channel_start = at + kChannels.size();
    if (channel_start > channel_end) break;
    if (at == 0) continue;  // no "/" before the segment
    const size_t slash = name.rfind('/', at - 1);
    if (slash == std::string_view::npos) continue;
    const std::optional<uint8_t> segment =
        canonical_segment(name.substr(slash + 1, at - slash - 1));
    if (!segment) continue;
    reading(*segment, name.substr(channel_start, channel_end - channel_start));
  }
}

}  // namespace zel
