// Header tree nodes: a Node is a map of children or a string value; the checked accessors.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/node_kind.hpp"
#include "error/result.hpp"

namespace zel {

class HeaderTree;
class NodeMap;

// A handle on one node of a parsed header, copied by value. It and every text it gives are
// borrowed from the ZelHeader it came from and stay valid while that header lives, also across
// moves of the header.
class Node {
 public:
  NodeKind kind() const noexcept;
  // The map of a map node; nullopt for a value node.
  std::optional<NodeMap> map() const noexcept;
  // The text of a value node; nullopt for a map node.
  std::optional<std::string_view> value() const noexcept;
  // The name under which the node is stored in its parent map; empty for the root.
  std::string_view name() const noexcept;
  // The map node this node is stored in; nullopt for the root.
  std::optional<Node> parent() const noexcept;
  // A number that tells the nodes of one header apart.
  uint32_t id() const noexcept { return index_; }

  friend bool operator==(const Node&, const Node&) = default;

 private:
  friend class HeaderTree;
  friend class NodeMap;
  Node(const HeaderTree* tree, uint32_t index) noexcept : tree_(tree), index_(index) {}

  const HeaderTree* tree_;
  uint32_t index_;
};

// The entries of a map node. Iteration order is unspecified and nothing may depend on it.
class NodeMap {
 public:
  struct Entry {
    std::string_view name;
    Node node;
  };

  class Iterator {
   public:
    Entry operator*() const noexcept;
    Iterator& operator++() noexcept;
    friend bool operator==(const Iterator&, const Iterator&) = default;

   private:
    friend class NodeMap;
    Iterator(const HeaderTree* tree, uint32_t index) noexcept : tree_(tree), index_(index) {}
    const HeaderTree* tree_;
    uint32_t index_;
  };

  Iterator begin() const noexcept;
  Iterator end() const noexcept;
  // The child stored under exactly `name`, in expected constant time.
  std::optional<Node> find(std::string_view name) const noexcept;
  // The map node itself.
  Node node() const noexcept { return map_; }

 private:
  friend class Node;
  explicit NodeMap(Node map) noexcept : map_(map) {}
  Node map_;
};

// Checked accessors. Their results borrow from the header, as Node does.
// The child stored under exactly `key` (one segment, never a dotted path).
Result<Node> get(Node node, std::string_view key);
Result<NodeMap> as_map(Node node);
Result<std::string_view> as_value(Node node);

}  // namespace zel
