// The header text grammar: `key=value` lines with dotted keys, '#' comments, processed from the
// last line to the first so that the line nearest the start decides a repeated key.
#include <memory>
#include <new>
#include <string>

#include "header/zel_header.hpp"

namespace zel {

namespace {

ZelError out_of_memory(size_t text_size) {
  return io_error("cannot allocate the tree of a header of " + std::to_string(text_size) +
                  " bytes");
}

// Throws std::bad_alloc; from_str turns it into an error.
Result<ZelHeader> parse(std::string_view source) {
  auto tree = std::make_unique<HeaderTree>(std::string(source));
  // Names and values are slices of the tree's own copy of the text.
  const std::string_view text = tree->text();
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

    // Every segment but the last selects a map, created when missing; the last gets the value.
    uint32_t current = HeaderTree::kRoot;
    for (;;) {
      const size_t dot = key.find('.');
      const uint32_t child = tree->child(current, key.substr(0, dot));
      if (child == HeaderTree::kNone) return out_of_memory(source.size());
      if (dot == std::string_view::npos) {
        tree->set_value(child, value);  // replaces whatever was stored there
        break;
      }
      if (tree->is_value(child)) return error::InvalidNodeVariant{"map", NodeKind::Value};
      current = child;
      key.remove_prefix(dot + 1);
    }
  }
  return ZelHeader(std::move(tree));
}

}  // namespace

Result<ZelHeader> ZelHeader::from_str(std::string_view text) {
  try {
    return parse(text);
  } catch (const std::bad_alloc&) {
    // Whatever was built has been released by now, so the error itself can be allocated.
    return out_of_memory(text.size());
  }
}

}  // namespace zel
