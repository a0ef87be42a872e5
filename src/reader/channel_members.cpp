// Which suffixes of a member name select it as channel data.
#include "reader/channel_members.hpp"

#include <cstring>

namespace zel {

namespace {
constexpr std::string_view kChannels = "/channels/";
constexpr std::string_view kExtension = ".dat";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first "/channels/" in `name` from `from` on. Names hold many '/', so this looks for the
// 'h' that a match has at offset 2 and checks around it.
size_t find(std::string_view name, size_t from) {
  for (size_t at = from + 2; at < name.size(); ++at) {
    const void* h = std::memchr(name.data() + at, 'h', name.size() - at);
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
  for (size_t at = find(name, 0); at != std::string_view::npos && at + kChannels.size() <= end;
       at = find(name, at + 1)) {
    // The segment: 1 to 3 digits between a '/' and "/channels/", no leading zero, at most 255.
    size_t digits = 0;
    while (digits < 4 && digits < at && is_digit(name[at - 1 - digits])) ++digits;
    if (digits == 0 || digits > 3 || digits == at || name[at - 1 - digits] != '/') continue;
    const std::string_view number = name.substr(at - digits, digits);
    if (digits > 1 && number[0] == '0') continue;
    if (digits == 3 && number > "255") continue;
    starts.push_back(static_cast<uint32_t>(at - digits - 1));
  }
}

}  // namespace zel
