// The header parser over any text, checked against a plain reference parser built on std::map,
// then the channel catalogue and the conversion chain over whatever it accepted.
#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "header/node_path.hpp"
#include "header/zel_header.hpp"

using namespace zel;

namespace {

// The grammar as directly as it can be written: lines from the last to the first, one std::map
// per map node, nodes in an arena so that nothing is freed recursively.
struct RefNode {
  bool is_value = false;
  std::string value;
  std::map<std::string, RefNode*, std::less<>> children;
};

struct RefHeader {
  std::deque<RefNode> nodes{RefNode{}};
  RefNode* root() { return &nodes.front(); }
};

Result<RefHeader*> reference_parse(std::string_view text, RefHeader& header) {
  std::vector<std::string_view> lines;
  for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string_view::npos;
       begin = end + 1) {
    lines.push_back(text.substr(begin, end - begin));
  }
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->starts_with('#')) continue;
    const size_t equals = line->find('=');
    if (equals == std::string_view::npos) {
      return error::InvalidHeaderLine{std::string(*line), "missing '='"};
    }
    std::vector<std::string_view> segments;
    std::string_view key = line->substr(0, equals);
    for (size_t dot; (dot = key.find('.')) != std::string_view::npos; key.remove_prefix(dot + 1)) {
      segments.push_back(key.substr(0, dot));
    }
    segments.push_back(key);
    RefNode* current = header.root();
    for (size_t i = 0; i < segments.size(); ++i) {
      if (current->is_value) return error::InvalidNodeVariant{"map", NodeKind::Value};
      auto [slot, added] = current->children.try_emplace(std::string(segments[i]), nullptr);
      if (added) slot->second = &header.nodes.emplace_back();
      current = slot->second;
    }
    current->is_value = true;
    current->children.clear();
    current->value = line->substr(equals + 1);
  }
  return &header;
}

// Walks both trees side by side, without recursion.
void compare(Node root, RefNode* reference) {
  std::vector<std::pair<Node, RefNode*>> stack{{root, reference}};
  while (!stack.empty()) {
    auto [node, ref] = stack.back();
    stack.pop_back();
    fuzz::expect((node.kind() == NodeKind::Value) == ref->is_value, "the kinds agree");
    if (ref->is_value) {
      fuzz::expect(*node.value() == ref->value, "the values agree");
      fuzz::expect(!node.map(), "a value node has no map");
      continue;
    }
    const NodeMap map = *node.map();
    size_t count = 0;
    for (const NodeMap::Entry entry : map) {
      ++count;
      auto found = ref->children.find(entry.name);
      fuzz::expect(found != ref->children.end(), "every entry is in the reference");
      fuzz::expect(entry.node.name() == entry.name, "an entry's node knows its name");
      fuzz::expect(entry.node.parent() == node, "an entry's node knows its map");
      fuzz::expect(map.find(entry.name) == entry.node, "an entry is found by its name");
      stack.emplace_back(entry.node, found->second);
    }
    fuzz::expect(count == ref->children.size(), "no entry is missing");
  }
}

// The catalogue and the conversions of the first channels, as the module asks for them. Each
// call walks the catalogue afresh, so a few channels and units cover every path.
void read_channels(const ZelHeader& header) {
  auto channels = header.get_channels();
  if (!channels) return;
  size_t asked = 0;
  for (const ZelHeader::Channel& channel : *channels) {
    if (++asked > 4) break;
    auto units = header.get_unit_types(channel.name);
    std::vector<std::string_view> wanted;
    if (units)
      wanted.assign(units->begin(), units->begin() + std::min<ptrdiff_t>(std::ssize(*units), 4));
    if (auto base = get_path(header.data(),
                             {"lcd-info", channel.id, "conversion-set", "conversions", "base"})) {
      if (auto text = as_value(*base)) wanted.push_back(*text);
    }
    wanted.push_back("");
    for (std::string_view unit : wanted) (void)header.convert_to_type(channel.name, unit);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto header = ZelHeader::from_str(text);
  RefHeader reference_header;
  auto reference = reference_parse(text, reference_header);
  fuzz::expect(header.has_value() == reference.has_value(), "both parsers accept the text");
  if (!header) {
    fuzz::expect(message(header.error()) == message(reference.error()), "the errors agree");
    return 0;
  }
  const Node root = header->data();
  compare(root, (*reference)->root());
  // Nodes borrow from the header, also once it has moved.
  ZelHeader moved = std::move(*header);
  fuzz::expect(moved.data() == root, "the root survives a move");
  const NodeMap entries = *root.map();
  for (const NodeMap::Entry entry : entries) {
    fuzz::expect(moved.data().map()->find(entry.name) == entry.node, "entries survive a move");
  }
  read_channels(moved);
  return 0;
}
