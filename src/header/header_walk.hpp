// HeaderWalk: the header tree in the order people read it, one node at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "header/node.hpp"

namespace zel {

// Orders names as people do: runs of ASCII digits compare by their value ("2" before "10";
// "01" before "1" when the values tie), the text between them by code point.
bool natural_less(std::string_view a, std::string_view b) noexcept;

// One node met by the walk.
struct HeaderStep {
  uint32_t depth;  // 0 for the root's children
  std::string_view name;
  std::optional<std::string_view> value;  // none for a map, whose children follow
};

// Walks a header tree depth first, each map's children in natural order, without recursion:
// the nodes whose dotted key begins with `prefix`, and the maps above them. A map is met only
// when a value below it is. Memory is what the maps on the current path hold (one entry per
// child of each), never the whole tree. Valid while the header lives.
class HeaderWalk {
 public:
  HeaderWalk(Node root, std::string prefix);

  // The next node, nullopt at the end. May throw std::bad_alloc.
  std::optional<HeaderStep> next();

 private:
  struct Frame {
    size_t begin, end, next;  // this map's children in `entries_`
    uint32_t depth;           // of the children
    bool inside;              // every key below begins with the prefix
    size_t path_length;       // of `path_` up to this map, while not inside
  };

  void open(Node map, uint32_t depth, bool inside);

  std::string prefix_;
  std::vector<NodeMap::Entry> entries_;  // the sorted children of every map on the path
  std::vector<Frame> frames_;
  // The dotted key of the map on the path that is not inside yet, and the maps above a match
  // not met yet (only maps whose key the prefix begins with, so a few).
  std::string path_;
  std::vector<HeaderStep> pending_;
  std::vector<HeaderStep> ready_;  // met, to be handed out in order
  size_t ready_next_ = 0;
};

}  // namespace zel
