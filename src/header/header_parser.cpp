// The header text grammar: `key=value` lines with dotted keys, '#' comments, processed from the
// last line to the first so that the line nearest the start decides a repeated key.
#include <cstring>

#include "header/zel_header.hpp"

namespace zel {

Result<ZelHeader> ZelHeader::from_str(std::string_view text) {
  ZelHeader header;
  // The piece after the last line feed is ignored; lines are the pieces before it.
  size_t end = text.rfind('\n');
  while (end != std::string_view::npos) {
    const size_t start = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const size_t line_begin = start == std::string_view::npos ? 0 : start + 1;
    const std::string_view line = text.substr(line_begin, end - line_begin);
    end = start;

    if (!line.empty() && line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      return error::InvalidHeaderLine{std::string(line), "missing '='"};
    }
    std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);

    // Walk every segment but the last, creating maps on the way.
    Node* current = &header.root();
    for (size_t dot = key.find('.'); dot != std::string_view::npos; dot = key.find('.')) {
      auto map = as_map_mut(*current);
      if (!map) return std::move(map).error();
      auto [slot, inserted] = (*map)->try_emplace(std::string(key.substr(0, dot)), nullptr);
      if (inserted) slot->second = &header.new_map_node();
      current = slot->second;
      key.remove_prefix(dot + 1);
    }
    auto map = as_map_mut(*current);
    if (!map) return std::move(map).error();
    auto [slot, inserted] = (*map)->try_emplace(std::string(key), nullptr);
    if (inserted) slot->second = &header.new_map_node();
    slot->second->set_value(value);
  }
  return header;
}

}  // namespace zel
