// NodeKind: the kind of a header tree node, named in InvalidNodeVariant messages.
#pragma once

namespace zel {

enum class NodeKind { Map, Value, Number };

// The enumerator's name: "Map", "Value" or "Number".
const char* node_kind_name(NodeKind kind) noexcept;

}  // namespace zel
