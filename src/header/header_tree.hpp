// HeaderTree: the storage behind a parsed header. Every node is one small record in one arena;
// names and values are slices of the header text, which the tree keeps; one hash table over all
// maps finds a child by its parent and name. A header of millions of nested key segments so costs
// a few dozen bytes per segment, and it is freed without recursion.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "header/node.hpp"

namespace zel {

class HeaderTree {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kRoot = 0;
  // The table indexes nodes with 32-bit slots in at most 2^32 of them; a header that needs more
  // nodes than this is treated as one that needs more memory than there is.
  static constexpr uint32_t kMaxNodes = 0xC000'0000;

  // Keeps `text`; the root, an empty map, is the only node. Throws std::bad_alloc.
  explicit HeaderTree(std::string text);

  std::string_view text() const noexcept { return text_; }
  Node root() const noexcept { return Node(this, kRoot); }

  bool is_value(uint32_t index) const noexcept { return nodes_[index].content & kValueFlag; }
  std::string_view name(uint32_t index) const noexcept;
  // Only for a value node.
  std::string_view value(uint32_t index) const noexcept;
  uint32_t parent(uint32_t index) const noexcept { return nodes_[index].parent; }
  // Only for a map node; kNone when it has no children.
  uint32_t first_child(uint32_t index) const noexcept {
    return static_cast<uint32_t>(nodes_[index].content);
  }
  uint32_t next_sibling(uint32_t index) const noexcept { return nodes_[index].next_sibling; }
  // The child of the map node `parent` stored under `name`; kNone when there is none.
  uint32_t find(uint32_t parent, std::string_view name) const noexcept;

  // Building, for the parser. `name` and the value must be slices of text(): the name a key
  // segment (it ends where the text has '.' or '='), the value the rest of a line (it ends where
  // the text has a line feed).
  // The child of the map node `parent` stored under `name`, a new empty map node when there was
  // none; kNone when the tree has no room for another node. Throws std::bad_alloc.
  uint32_t child(uint32_t parent, std::string_view name);
  // Makes the node a value node; children it had are no longer reached, and stay in the arena.
  void set_value(uint32_t index, std::string_view value) noexcept;

 private:
  static constexpr uint64_t kValueFlag = uint64_t{1} << 63;

  struct Record {
    uint64_t name_offset;  // into the text
    // A value node: kValueFlag | the offset of its value in the text. A map node: the index of
    // its first child, or kNone.
    uint64_t content;
    uint32_t parent;
    uint32_t next_sibling;  // the next child of the same parent, or kNone
    uint32_t hash;          // the low bits of the keyed hash of (parent, name)
    uint32_t name_length;   // saturated: UINT32_MAX means "look for the end in the text"
  };

  static uint64_t hash_of(uint32_t parent, std::string_view name) noexcept;
  bool matches(const Record& record, uint32_t parent, uint32_t hash,
               std::string_view name) const noexcept;
  // The slot where (parent, name) is, or the empty slot where it would go.
  size_t probe(uint32_t parent, uint32_t hash, std::string_view name) const noexcept;
  // A byte of the hash for the slot's tag, never 0 (the tag of an empty slot).
  static uint8_t tag_of(uint32_t hash) noexcept;
  void grow();

  std::string text_;
  // A deque never moves its records: growing it costs no copy and no second arena at once.
  std::deque<Record> nodes_;
  // Open addressing with linear probing over node indices; the root is never in it. The keyed
  // hash keeps a crafted header from piling its names into one run of slots. Each slot has a
  // tag beside it, so that a probe reads a record (far away in the arena) only when the tag
  // matches.
  std::vector<uint8_t> tags_;
  std::vector<uint32_t> slots_;
};

}  // namespace zel
