// The header tree's arena, its table of children, and the Node and NodeMap handles over them.
#include "header/header_tree.hpp"

#include <algorithm>
#include <cstring>

#include "header/key_hash.hpp"

namespace zel {

namespace {

constexpr uint8_t kEmpty = 0;
constexpr size_t kFirstSlots = 16;

}  // namespace

HeaderTree::HeaderTree(std::string text) : text_(std::move(text)) {
  nodes_.push_back(Record{0, kNone, kNone, kNone, 0, 0});
}

std::string_view HeaderTree::name(uint32_t index) const noexcept {
  const Record& record = nodes_[index];
  size_t length = record.name_length;
  if (length == UINT32_MAX) {
    // A name this long is rare enough to be measured again: it ends at the first '.' or '='.
    const size_t begin = static_cast<size_t>(record.name_offset);
    length = text_.find_first_of(".=", begin) - begin;
  }
  return std::string_view(text_).substr(static_cast<size_t>(record.name_offset), length);
}

std::string_view HeaderTree::value(uint32_t index) const noexcept {
  const size_t begin = static_cast<size_t>(nodes_[index].content & ~kValueFlag);
  return std::string_view(text_).substr(begin, text_.find('\n', begin) - begin);
}

uint64_t HeaderTree::hash_of(uint32_t parent, std::string_view name) noexcept {
  return key_hash(parent, name);
}

bool HeaderTree::matches(const Record& record, uint32_t parent, uint32_t hash,
                         std::string_view name) const noexcept {
  if (record.hash != hash || record.parent != parent) return false;
  const uint32_t length = static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX));
  if (record.name_length != length) return false;
  const char* stored = text_.data() + record.name_offset;
  if (std::memcmp(stored, name.data(), name.size()) != 0) return false;
  // Saturated lengths only say "long": the stored name must end where `name` does.
  return length != UINT32_MAX || stored[name.size()] == '.' || stored[name.size()] == '=';
}

uint8_t HeaderTree::tag_of(uint32_t hash) noexcept {
  // The slot is chosen by the low bits; the tag mixes all of them, so that the names of one run
  // of slots, whose low bits agree, still get different tags.
  const auto tag = static_cast<uint8_t>((hash * uint32_t{0x9E3779B1}) >> 24);
  return tag == kEmpty ? 1 : tag;
}

size_t HeaderTree::probe(uint32_t parent, uint32_t hash, std::string_view name) const noexcept {
  const size_t mask = slots_.size() - 1;
  const uint8_t tag = tag_of(hash);
  size_t slot = hash & mask;
  while (tags_[slot] != kEmpty &&
         (tags_[slot] != tag || !matches(nodes_[slots_[slot]], parent, hash, name))) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

uint32_t HeaderTree::find(uint32_t parent, std::string_view name) const noexcept {
  if (slots_.empty()) return kNone;
  const size_t slot = probe(parent, static_cast<uint32_t>(hash_of(parent, name)), name);
  return tags_[slot] == kEmpty ? kNone : slots_[slot];
}

void HeaderTree::grow() {
  // Below three quarters full, a linear probe stays short on average.
  const size_t used = nodes_.size() - 1;
  if (!slots_.empty() && (used + 1) * 4 <= slots_.size() * 3) return;
  const size_t size = slots_.empty() ? kFirstSlots : slots_.size() * 2;
  std::vector<uint8_t> tags(size, kEmpty);
  std::vector<uint32_t> slots(size);
  const size_t mask = size - 1;
  for (uint32_t index = 1; index < nodes_.size(); ++index) {
    const uint32_t hash = nodes_[index].hash;
    size_t slot = hash & mask;
    while (tags[slot] != kEmpty) slot = (slot + 1) & mask;
    tags[slot] = tag_of(hash);
    slots[slot] = index;
  }
  tags_ = std::move(tags);
  slots_ = std::move(slots);
}

uint32_t HeaderTree::child(uint32_t parent, std::string_view name) {
  grow();
  const uint32_t hash = static_cast<uint32_t>(hash_of(parent, name));
  const size_t slot = probe(parent, hash, name);
  if (tags_[slot] != kEmpty) return slots_[slot];
  if (nodes_.size() >= kMaxNodes) return kNone;

  const auto index = static_cast<uint32_t>(nodes_.size());
  Record& parent_record = nodes_[parent];
  nodes_.push_back(Record{static_cast<uint64_t>(name.data() - text_.data()), kNone, parent,
                          static_cast<uint32_t>(parent_record.content), hash,
                          static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX))});
  parent_record.content = index;
  tags_[slot] = tag_of(hash);
  slots_[slot] = index;
  return index;
}

void HeaderTree::set_value(uint32_t index, std::string_view value) noexcept {
  nodes_[index].content = kValueFlag | static_cast<uint64_t>(value.data() - text_.data());
}

// --- Node and NodeMap -------------------------------------------------------------------------

NodeKind Node::kind() const noexcept {
  return tree_->is_value(index_) ? NodeKind::Value : NodeKind::Map;
}

std::optional<NodeMap> Node::map() const noexcept {
  if (tree_->is_value(index_)) return std::nullopt;
  return NodeMap(*this);
}

std::optional<std::string_view> Node::value() const noexcept {
  if (!tree_->is_value(index_)) return std::nullopt;
  return tree_->value(index_);
}

std::string_view Node::name() const noexcept { return tree_->name(index_); }

std::optional<Node> Node::parent() const noexcept {
  const uint32_t parent = tree_->parent(index_);
  if (parent == HeaderTree::kNone) return std::nullopt;
  return Node(tree_, parent);
}

NodeMap::Entry NodeMap::Iterator::operator*() const noexcept {
  return Entry{tree_->name(index_), Node(tree_, index_)};
}

NodeMap::Iterator& NodeMap::Iterator::operator++() noexcept {
  index_ = tree_->next_sibling(index_);
  return *this;
}

NodeMap::Iterator NodeMap::begin() const noexcept {
  return Iterator(map_.tree_, map_.tree_->first_child(map_.index_));
}

NodeMap::Iterator NodeMap::end() const noexcept { return Iterator(map_.tree_, HeaderTree::kNone); }

std::optional<Node> NodeMap::find(std::string_view name) const noexcept {
  const uint32_t index = map_.tree_->find(map_.index_, name);
  if (index == HeaderTree::kNone) return std::nullopt;
  return Node(map_.tree_, index);
}

}  // namespace zel
