// The channel catalogue: which channels the header describes, and the units of each.
#include <algorithm>

#include "header/node_path.hpp"
#include "header/zel_header.hpp"

namespace zel {

Result<std::vector<ZelHeader::Channel>> ZelHeader::get_channels() const {
  auto lcd_info = get(data(), "lcd-info");
  if (!lcd_info) return std::move(lcd_info).error();
  auto entries = as_map(*lcd_info);
  if (!entries) return std::move(entries).error();

  std::vector<Channel> channels;
  // One malformed entry fails the whole catalogue, well-formed entries included.
  for (const NodeMap::Entry entry : *entries) {
    auto name_node = get_path(entry.node, {"channel", "name"});
    if (!name_node) return std::move(name_node).error();
    auto name = as_value(*name_node);
    if (!name) return std::move(name).error();
    channels.push_back(Channel{entry.name, *name});
  }
  return channels;
}

Result<std::vector<std::string_view>> ZelHeader::get_unit_types(std::string_view name) const {
  auto channels = get_channels();
  if (!channels) return std::move(channels).error();
  // The first entry of that name in catalogue order answers; names compare byte for byte.
  const auto found = std::find_if(channels->begin(), channels->end(),
                                  [name](const Channel& channel) { return channel.name == name; });
  if (found == channels->end()) return error::InvalidChannel{std::string(name)};

  auto conversion = get_path(data(), {"lcd-info", found->id, "conversion-set", "conversion"});
  if (!conversion) return std::move(conversion).error();
  auto units = as_map(*conversion);
  if (!units) return std::move(units).error();

  std::vector<std::string_view> keys;
  for (const NodeMap::Entry unit : *units) keys.push_back(unit.name);
  return keys;
}

}  // namespace zel
