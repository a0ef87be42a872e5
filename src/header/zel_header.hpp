// ZelHeader: the parsed header tree and what is read from it (channels, unit conversions).
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "error/result.hpp"
#include "header/header_tree.hpp"
#include "header/node.hpp"

namespace zel {

// The parsed header. Its tree is freed without recursion, however deep; nodes and texts taken
// from it stay valid while the header lives, also across moves (not in a moved-from header).
class ZelHeader {
 public:
  explicit ZelHeader(std::unique_ptr<HeaderTree> tree) noexcept : tree_(std::move(tree)) {}

  // The root node, always a map.
  Node data() const noexcept { return tree_->root(); }

  // Parses the header text; either the whole text is accepted or an error is returned. Memory
  // that runs out while parsing is an Io error, never an exception.
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
  // Through a chain of steps, writes the diagnostic line "{offset},{multiplier}" unless
  // `announce` is false.
  Result<Conversion> convert_to_type(std::string_view name, std::string_view unit_type,
                                     bool announce = true) const;
  struct Scaling {
    double offset;
    double multiplier;
  };
  // Reduces the chain of steps from `target` down to `base` on top of (voltoffset, voltmult).
  static Result<Scaling> get_conversion_rec(Node target, Node root, std::string_view base,
                                            double voltoffset, double voltmult);

  // The "lcd-info" entry of the first channel named `name` in catalogue order: the one that
  // answers for the channel wherever it is looked up.
  Result<Node> channel_entry(std::string_view name) const;

  // Every unit that the channel of catalogue entry `entry` reads in, its base unit included:
  // exactly those `unit_type`s, among the conversion map's keys and the base unit, for which
  // convert_to_type succeeds, sorted and distinct. Each step of the chains is checked once, so
  // the cost is linear in the entry's conversions however long their chains are. May throw
  // std::bad_alloc.
  static std::vector<std::string_view> convertible_units(Node entry);

 private:
  std::unique_ptr<HeaderTree> tree_;
};

}  // namespace zel
