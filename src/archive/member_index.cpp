// Building the member index: the walk files each member under the keys of its chosen suffixes,
// appending its locator to each of their groups, so that every group stands in directory order
// as soon as the walk ends.
#include "archive/member_index.hpp"

#include <new>
#include <string>

#include "error/zel_error.hpp"

namespace zel {

namespace {

// Names, and so the suffixes filed, are at most this long: a longer suffix matches nothing.
constexpr size_t kMaxNameLength = 65535;

size_t slot_index(const SuffixKey& key, size_t mask) {
  return static_cast<size_t>(key.first ^ (key.second >> 7)) & mask;
}

}  // namespace

const MemberIndex::Slot* MemberIndex::slot_of(const SuffixKey& key) const noexcept {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = slot_index(key, mask);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.group == kEmpty) return nullptr;
    if (slot.key == key) return &slot;
  }
}

Result<std::span<const MemberLocator>> MemberIndex::find(std::string_view suffix) const {
  if (overfull_) return zip_error("invalid Zip archive: too many members to index");
  if (suffix.size() > kMaxNameLength) return std::span<const MemberLocator>();
  const Slot* slot = slot_of(hasher_.key(suffix));
  if (slot == nullptr) return std::span<const MemberLocator>();
  const std::span<const MemberLocator> members = groups_[slot->group].members();
  // A walk reports the first unreadable record among those it selects, before reading any.
  for (const MemberLocator& member : members) {
    if (member.fault != static_cast<uint32_t>(LocatorFault::kNone)) {
      return locator_error(static_cast<LocatorFault>(member.fault));
    }
  }
  return members;
}

size_t MemberIndex::count(std::string_view suffix) const noexcept {
  if (suffix.size() > kMaxNameLength) return 0;
  const Slot* slot = slot_of(hasher_.key(suffix));
  if (slot == nullptr) return 0;
  return groups_[slot->group].size();
}

MemberIndexBuilder::MemberIndexBuilder(SuffixPicker pick) noexcept : pick_(pick) {}

void MemberIndexBuilder::grow() {
  std::vector<MemberIndex::Slot> old = std::move(index_.slots_);
  index_.slots_.assign(old.size() * 2, MemberIndex::Slot{{}, MemberIndex::kEmpty});
  const size_t mask = index_.slots_.size() - 1;
  for (const MemberIndex::Slot& slot : old) {
    if (slot.group == MemberIndex::kEmpty) continue;
    size_t i = slot_index(slot.key, mask);
    while (index_.slots_[i].group != MemberIndex::kEmpty) i = (i + 1) & mask;
    index_.slots_[i] = slot;
  }
}

uint32_t MemberIndexBuilder::group_of(const SuffixKey& key) {
  if (index_.slots_.empty()) index_.slots_.assign(64, MemberIndex::Slot{{}, MemberIndex::kEmpty});
  const size_t mask = index_.slots_.size() - 1;
  size_t i = slot_index(key, mask);
  for (;; i = (i + 1) & mask) {
    MemberIndex::Slot& slot = index_.slots_[i];
    if (slot.group == MemberIndex::kEmpty) break;
    if (slot.key == key) return slot.group;
  }
  const auto group = static_cast<uint32_t>(index_.groups_.size());
  index_.groups_.emplace_back();  // first: a throw leaves no slot without its group
  index_.slots_[i] = {key, group};
  if (2 * index_.groups_.size() > index_.slots_.size()) grow();  // at most half full
  return group;
}

// Most suffixes were filed before: their bytes find their group without hashing them.
uint32_t MemberIndexBuilder::group_of(std::string_view name, uint32_t start) {
  const std::string_view suffix = name.substr(start);
  uint32_t group = cache_.find(suffix);
  if (group == SuffixCache::kMissing) {
    group = group_of(index_.hasher_.key(suffix));
    cache_.remember(suffix, group);
  }
  return group;
}

void MemberIndexBuilder::add(std::string_view name,
                             FunctionRef<void(MemberLocator&)> locate) noexcept {
  ++index_.records_;
  if (out_of_memory_) return;
  try {
    file(name, locate);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
  }
}

void MemberIndexBuilder::file(std::string_view name, FunctionRef<void(MemberLocator&)> locate) {
  starts_.clear();
  pick_(name, starts_);
  const size_t suffixes = starts_.size();
  if (suffixes == 0) return;
  // Beyond 2^32 - 2 members or filings (a directory of hundreds of gigabytes) the rest would
  // not fit the 32-bit counts; such an archive's later members are not found.
  if (members_ >= UINT32_MAX - 1 || filings_ + suffixes >= UINT32_MAX - 1) {
    index_.overfull_ = true;
    return;
  }
  if (suffixes == 1) {
    // The usual name, with one channel part.
    // Written in place: a locator passed back through the stack is stored and reloaded in
    // pieces of different widths, which stalls.
    MemberLocator* slot = index_.groups_[group_of(name, starts_[0])].append();
    if (slot == nullptr) throw std::bad_alloc();
    locate(*slot);
  } else {
    groups_.clear();
    for (const uint32_t start : starts_) groups_.push_back(group_of(name, start));
    MemberLocator member;
    locate(member);
    for (const uint32_t group : groups_) {
      if (!index_.groups_[group].push(member)) throw std::bad_alloc();
    }
  }
  ++members_;
  filings_ += suffixes;
}

Result<MemberIndex> MemberIndexBuilder::finish() && noexcept {
  if (!out_of_memory_) return std::move(index_);
  return io_error("cannot allocate the index of the archive's members");
}

}  // namespace zel
