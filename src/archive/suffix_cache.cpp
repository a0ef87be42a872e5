// Remembering suffixes; finding them is inline, in the header.
#include "archive/suffix_cache.hpp"

#include <algorithm>
#include <utility>

namespace zel {

SuffixCache::Slot* SuffixCache::free_slot(uint32_t hash) noexcept {
  const size_t mask = slots_.size() - 1;
  for (size_t probe = 0, i = hash & mask; probe < kProbes; ++probe, i = (i + 1) & mask) {
    if (slots_[i].group == kMissing) return &slots_[i];
  }
  return nullptr;
}

void SuffixCache::remember(std::string_view suffix, uint32_t group) {
  if (used_ == kCapacity || suffix.size() > kMaxLength) return;
  if (2 * (used_ + 1) > slots_.size()) {
    // Small archives file few suffixes: the table starts small and doubles, at most to twice
    // the capacity. A suffix that finds no free probe in the larger table is forgotten: this
    // is only a cache.
    std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
    std::swap(old, slots_);
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.group == kMissing) continue;
      if (Slot* free = free_slot(slot.hash)) {
        *free = slot;
        ++used_;
      }
    }
  }
  const uint32_t hash = plain_hash(suffix);
  Slot* free = free_slot(hash);
  if (free == nullptr) return;
  const auto at = static_cast<uint32_t>(bytes_.size());
  bytes_.append(suffix);  // before the slot is filled: a throw leaves the cache as it was
  *free = {group, hash, at, static_cast<uint32_t>(suffix.size())};
  ++used_;
}

}  // namespace zel
