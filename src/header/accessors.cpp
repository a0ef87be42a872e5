// Checked access to header nodes: a wrong kind or a missing key is a ZelError.
#include "header/node.hpp"

namespace zel {

namespace {
ZelError not_a_map() { return error::InvalidNodeVariant{"map", NodeKind::Value}; }
}  // namespace

Result<const NodeMap*> as_map(const Node& node) {
  if (const NodeMap* map = node.map()) return map;
  return not_a_map();
}

Result<NodeMap*> as_map_mut(Node& node) {
  if (NodeMap* map = node.map()) return map;
  return not_a_map();
}

Result<const std::string*> as_value(const Node& node) {
  if (const std::string* value = node.value()) return value;
  return error::InvalidNodeVariant{"Value", NodeKind::Map};
}

Result<const Node*> get(const Node& node, std::string_view key) {
  const NodeMap* map = node.map();
  if (map == nullptr) return not_a_map();
  auto found = map->find(key);
  if (found == map->end()) return error::HeaderMissingKey{std::string(key)};
  return static_cast<const Node*>(found->second);
}

}  // namespace zel
