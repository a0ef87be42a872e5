// Header tree nodes: a Node is a map of children or a string value; the checked accessors.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "error/node_kind.hpp"
#include "error/result.hpp"
#include "header/key_hash.hpp"

namespace zel {

class Node;

// Children are owned by the ZelHeader's arena; a map only points at them. Iteration order is
// unspecified and nothing may depend on it.
using NodeMap = std::unordered_map<std::string, Node*, KeyHash, std::equal_to<>>;

class Node {
 public:
  Node() : content_(std::in_place_index<0>) {}

  NodeKind kind() const noexcept { return content_.index() == 0 ? NodeKind::Map : NodeKind::Value; }
  // nullptr when the node is of the other kind.
  const NodeMap* map() const noexcept { return std::get_if<0>(&content_); }
  NodeMap* map() noexcept { return std::get_if<0>(&content_); }
  const std::string* value() const noexcept { return std::get_if<1>(&content_); }

  // Turns the node into a value node; a map it held is dropped (its children stay in the arena).
  void set_value(std::string_view text) { content_.emplace<1>(text); }

 private:
  std::variant<NodeMap, std::string> content_;
};

// Checked accessors. Results point into the header and stay valid while it lives.
// The child stored under exactly `key` (one segment, never a dotted path).
Result<const Node*> get(const Node& node, std::string_view key);
Result<const NodeMap*> as_map(const Node& node);
Result<NodeMap*> as_map_mut(Node& node);
Result<const std::string*> as_value(const Node& node);

}  // namespace zel
