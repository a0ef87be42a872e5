// The channel catalogue: which channels the header describes, and the units of each.
#include <algorithm>

#include "header/node_path.hpp"
#include "header/zel_header.hpp"

namespace zel {

Result<std::vector<ZelHeader::Channel>> ZelHeader::get_channels() const {
  ZEL_ASSIGN_OR_RETURN(const Node lcd_info, get(data(), "lcd-info"));
  ZEL_ASSIGN_OR_RETURN(const NodeMap entries, as_map(lcd_info));

  std::vector<Channel> channels;
  // One malformed entry fails the whole catalogue, well-formed entries included.
  for (const NodeMap::Entry entry : entries) {
    ZEL_ASSIGN_OR_RETURN(const Node name_node, get_path(entry.node, {"channel", "name"}));
    ZEL_ASSIGN_OR_RETURN(const std::string_view name, as_value(name_node));
    channels.push_back(Channel{entry.name, name});
  }
  return channels;
}

Result<Node> ZelHeader::channel_entry(std::string_view name) const {
  ZEL_ASSIGN_OR_RETURN(const std::vector<Channel> channels, get_channels());
  // The first entry of that name in catalogue order answers; names compare byte for byte.
  const auto found = std::find_if(channels.begin(), channels.end(),
                                  [name](const Channel& channel) { return channel.name == name; });
  if (found == channels.end()) return error::InvalidChannel{std::string(name)};
  return get_path(data(), {"lcd-info", found->id});
}

Result<std::vector<std::string_view>> ZelHeader::get_unit_types(std::string_view name) const {
  ZEL_ASSIGN_OR_RETURN(const Node entry, channel_entry(name));
  ZEL_ASSIGN_OR_RETURN(const Node conversion, get_path(entry, {"conversion-set", "conversion"}));
  ZEL_ASSIGN_OR_RETURN(const NodeMap units, as_map(conversion));

  std::vector<std::string_view> keys;
  for (const NodeMap::Entry unit : units) keys.push_back(unit.name);
  return keys;
}

}  // namespace zel
