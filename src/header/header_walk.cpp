// The walk of a header in natural order, with its prefix filter.
#include "header/header_walk.hpp"

#include <algorithm>

namespace zel {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The run at `at` of digits (digits true) or of anything else.
std::string_view run(std::string_view text, size_t& at, bool digits) noexcept {
  const size_t start = at;
  while (at < text.size() && is_digit(text[at]) == digits) ++at;
  return text.substr(start, at - start);
}

// -1, 0 or 1 as the digit runs compare by value, then as text.
int compare_numbers(std::string_view a, std::string_view b) noexcept {
  const std::string_view a_value = a.substr(std::min(a.find_first_not_of('0'), a.size()));
  const std::string_view b_value = b.substr(std::min(b.find_first_not_of('0'), b.size()));
  if (a_value.size() != b_value.size()) return a_value.size() < b_value.size() ? -1 : 1;
  if (const int order = a_value.compare(b_value); order != 0) return order < 0 ? -1 : 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) noexcept {
  // Text and digit runs alternate, text first (perhaps empty), in both names alike.
  size_t i = 0, j = 0;
  for (;;) {
    // UTF-8 compares byte by byte as its code points do.
    if (const int order = run(a, i, false).compare(run(b, j, false)); order != 0) {
      return order < 0;
    }
    if (i == a.size() || j == b.size()) return i == a.size() && j != b.size();
    if (const int order = compare_numbers(run(a, i, true), run(b, j, true)); order != 0) {
      return order < 0;
    }
    if (i == a.size() && j == b.size()) return false;
  }
}

HeaderWalk::HeaderWalk(Node root, std::string prefix) : prefix_(std::move(prefix)) {
  open(root, 0, prefix_.empty());
}

void HeaderWalk::open(Node map, uint32_t depth, bool inside) {
  const std::optional<NodeMap> children = map.map();
  const size_t begin = entries_.size();
  for (const NodeMap::Entry entry : *children) entries_.push_back(entry);
  std::sort(entries_.begin() + static_cast<std::ptrdiff_t>(begin), entries_.end(),
            [](const NodeMap::Entry& a, const NodeMap::Entry& b) {
              return natural_less(a.name, b.name);
            });
  frames_.push_back(Frame{begin, entries_.size(), begin, depth, inside, path_.size()});
}

std::optional<HeaderStep> HeaderWalk::next() {
  while (ready_next_ == ready_.size()) {
    ready_.clear();
    ready_next_ = 0;
    if (frames_.empty()) return std::nullopt;
    Frame& frame = frames_.back();
    if (frame.next == frame.end) {
      // A map on the way to the prefix that nothing below matched is never met.
      if (!frame.inside && !pending_.empty() && pending_.back().depth + 1 == frame.depth) {
        pending_.pop_back();
      }
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(frame.begin), entries_.end());
      frames_.pop_back();
      continue;
    }
    const NodeMap::Entry entry = entries_[frame.next++];
    const HeaderStep step{frame.depth, entry.name, entry.node.value()};
    if (frame.inside) {
      ready_.push_back(step);
      if (!step.value) open(entry.node, step.depth + 1, true);
      continue;
    }
    // Not inside yet: the child's dotted key decides.
    path_.resize(frame.path_length);
    if (step.depth > 0) path_ += '.';
    path_ += entry.name;
    if (std::string_view(path_).starts_with(prefix_)) {
      ready_.insert(ready_.end(), pending_.begin(), pending_.end());
      pending_.clear();
      ready_.push_back(step);
      if (!step.value) open(entry.node, step.depth + 1, true);
    } else if (!step.value && std::string_view(prefix_).starts_with(path_) &&
               prefix_.size() > path_.size() && prefix_[path_.size()] == '.') {
      pending_.push_back(step);
      open(entry.node, step.depth + 1, false);  // its key is path_ as it stands
    }
  }
  return ready_[ready_next_++];
}

}  // namespace zel
