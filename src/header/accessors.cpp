// Checked access to header nodes: a wrong kind or a missing key is a ZelError.
#include "header/node.hpp"

namespace zel {

namespace {
ZelError not_a_map() { return error::InvalidNodeVariant{"map", NodeKind::Value}; }
}  // namespace

Result<NodeMap> as_map(Node node) {
  if (auto map = node.map()) return *map;
  return not_a_map();
}

Result<std::string_view> as_value(Node node) {
  if (auto value = node.value()) return *value;
  return error::InvalidNodeVariant{"Value", NodeKind::Map};
}

Result<Node> get(Node node, std::string_view key) {
  const auto map = node.map();
  if (!map) return not_a_map();
  if (auto child = map->find(key)) return *child;
  return error::HeaderMissingKey{std::string(key)};
}

}  // namespace zel
