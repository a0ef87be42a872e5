// Which suffixes of a member name select it as channel data.
#include "reader/channel_members.hpp"

#include <cstring>

namespace zel {

namespace {
constexpr std::string_view kChannels = "/channels/";
constexpr std::string_view kExtension = ".dat";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first "/channels/" in `name` that starts in [from, stop). Names hold many '/', so this
// looks for the 'h' that a match has at offset 2 and checks around it.
size_t find(std::string_view name, size_t from, size_t stop) {
  const size_t h_stop = stop + 2;  // 'h' lies two bytes into a match
  for (size_t at = from + 2; at < h_stop; ++at) {
    if (h_stop - at < 16) {
      // A short stretch (what follows the last channel part): a plain loop beats a call.
      for (; at < h_stop; ++at) {
        if (name[at] == 'h' && name.substr(at - 2).starts_with(kChannels)) return at - 2;
      }
      return std::string_view::npos;
    }
    const void* h = std::memchr(name.data() + at, 'h', h_stop - at);
    if (h == nullptr) return std::string_view::npos;
    at = static_cast<size_t>(static_cast<const char*>(h) - name.data());
    if (name.substr(at - 2).starts_with(kChannels)) return at - 2;
  }
  return std::string_view::npos;
}
}  // namespace

std::string channel_suffix(uint8_t segment, std::string_view name) {
  std::string suffix;
  suffix.reserve(name.size() + 18);
  suffix.append("/")
      .append(std::to_string(segment))
      .append(kChannels)
      .append(name)
      .append(kExtension);
  return suffix;
}

void channel_suffix_starts(std::string_view name, std::vector<uint32_t>& starts) {
  if (!name.ends_with(kExtension)) return;
  const size_t end = name.size() - kExtension.size();  // "/channels/" must end by here
  if (end < kChannels.size()) return;
  const size_t stop = end - kChannels.size() + 1;  // so a match must start before this
  // "/channels/" overlaps itself only at its last '/': the next match starts 9 bytes on at least.
  for (size_t at = find(name, 0, stop); at != std::string_view::npos;
       at = find(name, at + kChannels.size() - 1, stop)) {
    const std::optional<uint8_t> segment = segment_before(name, at);
    if (!segment) continue;
    starts.push_back(static_cast<uint32_t>(at - segment_digits(*segment) - 1));
  }
}

std::optional<uint8_t> segment_before(std::string_view name, size_t at) noexcept {
  size_t digits = 0;
  while (digits < 4 && digits < at && is_digit(name[at - 1 - digits])) ++digits;
  if (digits == 0 || digits > 3 || digits == at || name[at - 1 - digits] != '/') {
    return std::nullopt;
  }
  const std::string_view number = name.substr(at - digits, digits);
  if ((digits > 1 && number[0] == '0') || (digits == 3 && number > "255")) return std::nullopt;
  unsigned segment = 0;
  for (const char digit : number) segment = segment * 10 + static_cast<unsigned>(digit - '0');
  return static_cast<uint8_t>(segment);
}

std::optional<ChannelSuffix> parse_channel_suffix(std::string_view suffix) noexcept {
  if (suffix.empty() || suffix[0] != '/' || !suffix.ends_with(kExtension)) return std::nullopt;
  // The digits after the '/' run up to "/channels/", which must end before the extension.
  size_t at = 1;
  while (at < suffix.size() && at < 5 && is_digit(suffix[at])) ++at;
  if (at + kChannels.size() + kExtension.size() > suffix.size() ||
      !suffix.substr(at).starts_with(kChannels)) {
    return std::nullopt;
  }
  const std::optional<uint8_t> segment = segment_before(suffix, at);
  if (!segment) return std::nullopt;
  return ChannelSuffix{*segment, suffix.substr(at)};
}

}  // namespace zel
