// Building the member index: the walk files each member under the keys of its chosen suffixes,
// then a stable counting sort lays every group out contiguously in directory order.
#include "archive/member_index.hpp"

#include <algorithm>
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
  const std::span<const MemberLocator> members(
      locators_.data() + group_starts_[slot->group],
      static_cast<size_t>(group_starts_[slot->group + 1] - group_starts_[slot->group]));
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
  return static_cast<size_t>(group_starts_[slot->group + 1] - group_starts_[slot->group]);
}

MemberIndexBuilder::MemberIndexBuilder(SuffixPicker pick, uint64_t expected) noexcept
    : pick_(pick), expected_(expected) {}

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
  const size_t mask = index_.slots_.size() - 1;
  size_t i = slot_index(key, mask);
  for (;; i = (i + 1) & mask) {
    MemberIndex::Slot& slot = index_.slots_[i];
    if (slot.group == MemberIndex::kEmpty) break;
    if (slot.key == key) return slot.group;
  }
  index_.slots_[i] = {key, groups_};
  const uint32_t group = groups_++;
  if (2 * uint64_t{groups_} > index_.slots_.size()) grow();  // at most half full
  return group;
}

void MemberIndexBuilder::add(std::string_view name, FunctionRef<MemberLocator()> locate) noexcept {
  ++index_.records_;
  if (out_of_memory_) return;
  try {
    file(name, locate);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
  }
}

void MemberIndexBuilder::file(std::string_view name, FunctionRef<MemberLocator()> locate) {
  if (index_.slots_.empty()) {
    // Untouched reserved pages cost no memory, so an exaggerated hint costs only address space.
    const auto likely = static_cast<size_t>(std::min<uint64_t>(expected_, uint64_t{1} << 28));
    members_.reserve(likely);
    filings_.reserve(likely);
    index_.slots_.assign(64, MemberIndex::Slot{{}, MemberIndex::kEmpty});
  }
  starts_.clear();
  pick_(name, starts_);
  if (starts_.empty()) return;
  // Beyond 2^32 - 2 members or filings (a directory of hundreds of gigabytes) the rest would
  // not fit the 32-bit numbering; such an archive's later members are not found.
  if (members_.size() >= UINT32_MAX - 1 || filings_.size() + starts_.size() >= UINT32_MAX - 1) {
    overfull_ = true;
    return;
  }
  keys_.resize(starts_.size());
  index_.hasher_.suffix_keys(name, starts_, keys_);
  const auto member = static_cast<uint32_t>(members_.size());
  members_.push_back(locate());
  for (const SuffixKey& key : keys_) filings_.push_back({group_of(key), member});
}

Result<MemberIndex> MemberIndexBuilder::finish() && noexcept {
  if (!out_of_memory_) {
    try {
      sort();
      index_.overfull_ = overfull_;
      return std::move(index_);
    } catch (const std::bad_alloc&) {
    }
  }
  return io_error("cannot allocate the index of the archive's members");
}

void MemberIndexBuilder::sort() {
  std::vector<uint64_t>& starts = index_.group_starts_;
  starts.assign(uint64_t{groups_} + 1, 0);
  for (const Filing& filing : filings_) ++starts[filing.group + 1];
  for (uint32_t g = 0; g < groups_; ++g) starts[g + 1] += starts[g];
  std::vector<uint64_t> next(starts.begin(), starts.end() - 1);
  index_.locators_.resize(filings_.size());
  for (const Filing& filing : filings_) {
    index_.locators_[next[filing.group]++] = members_[filing.member];
  }
  // The walk's own lists are not needed any more.
  members_ = {};
  filings_ = {};
}

}  // namespace zel
