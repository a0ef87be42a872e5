// ZelHeader: the parsed header tree and what is read from it (channels, unit conversions).
#pragma once

#include <deque>
#include <string_view>
#include <vector>

#include "error/result.hpp"
#include "header/node.hpp"

namespace zel {

// The parsed header. Nodes live in an arena that is freed without recursion, however deep the
// tree; references into it stay valid while the header lives, also across moves.
class ZelHeader {
 public:
  ZelHeader() { nodes_.emplace_back(); }
  ZelHeader(ZelHeader&&) = default;
  ZelHeader& operator=(ZelHeader&&) = default;
  ZelHeader(const ZelHeader&) = delete;
  ZelHeader& operator=(const ZelHeader&) = delete;

  // The root node, always a map.
  const Node& data() const noexcept { return nodes_.front(); }

  // Parses the header text; either the whole text is accepted or an error is returned.
  static Result<ZelHeader> from_str(std::string_view text);

  // The channel catalogue: one pair per entry below "lcd-info", in the map's order.
  struct Channel {
    std::string_view id;    // the entry key
    std::string_view name;  // the entry's channel.name
  };
  Result<std::vector<Channel>> get_channels() const;
  // The keys of the named channel's conversion-set.conversion map.
  Result<std::vector<std::string_view>> get_unit_types(std::string_view name) const;

  // raw * multiplier + offset gives a raw sample of the channel in `unit_type`.
  struct Conversion {
    double offset;
    double multiplier;
    std::string_view data_type;  // borrowed from the header
  };
  Result<Conversion> convert_to_type(std::string_view name, std::string_view unit_type) const;
  struct Scaling {
    double offset;
    double multiplier;
  };
  // Reduces the chain of steps from `target` down to `base` on top of (voltoffset, voltmult).
  static Result<Scaling> get_conversion_rec(const Node& target, const Node& root,
                                            std::string_view base, double voltoffset,
                                            double voltmult);

 private:
  Node& root() noexcept { return nodes_.front(); }
  Node& new_map_node() { return nodes_.emplace_back(); }

  std::deque<Node> nodes_;
};

}  // namespace zel
