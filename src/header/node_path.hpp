// Walking down a fixed sequence of keys with the checked accessors.
#pragma once

#include <initializer_list>
#include <string_view>

#include "header/node.hpp"

namespace zel {

// The node reached by one `get` per key, in order; the first failing `get` is the error, so it
// names the one key that was missing, never the path before it.
inline Result<Node> get_path(Node from, std::initializer_list<std::string_view> keys) {
  Node node = from;
  for (std::string_view key : keys) {
    ZEL_ASSIGN_OR_RETURN(node, get(node, key));
  }
  return node;
}

}  // namespace zel
