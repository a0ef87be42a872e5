// SuffixCache: the suffixes filed so far by their exact bytes, so that a member whose suffix was
// seen before finds its group with one comparison instead of two polynomial hashes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// Remembers up to kCapacity suffixes of up to kMaxLength bytes each (a few may be dropped as its
// table grows). A lookup probes at most kProbes slots, so names made to collide in its plain
// hash cost no more than a miss: the caller then takes the slow path, which does not depend on
// this hash. A group found here is always the one the slow path gives for the same bytes.
class SuffixCache {
 public:
  static constexpr uint32_t kMissing = UINT32_MAX;
  static constexpr size_t kCapacity = 4096;
  static constexpr size_t kMaxLength = 128;

  // The group remembered for exactly these bytes, or kMissing.
  uint32_t find(std::string_view suffix) const noexcept {
    if (used_ == 0 || suffix.size() > kMaxLength) return kMissing;
    const uint32_t hash = plain_hash(suffix);
    const size_t mask = slots_.size() - 1;
    for (size_t probe = 0, i = hash & mask; probe < kProbes; ++probe, i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.group == kMissing) return kMissing;
      if (slot.hash == hash && slot.length == suffix.size() &&
          std::memcmp(bytes_.data() + slot.at, suffix.data(), suffix.size()) == 0) {
        return slot.group;
      }
    }
    return kMissing;
  }
  // Remembers `suffix` as `group` if it fits; throws std::bad_alloc when memory runs out.
  void remember(std::string_view suffix, uint32_t group);

 private:
  static constexpr size_t kProbes = 8;
  struct Slot {
    uint32_t group = kMissing;
    uint32_t hash = 0;
    uint32_t at = 0;  // of the bytes in bytes_
    uint32_t length = 0;
  };

  // A multiplicative hash over three 8-byte loads (head, middle, tail) tells the suffixes of an
  // archive apart well enough; equality is decided by comparing the bytes.
  static uint32_t plain_hash(std::string_view text) noexcept {
    const size_t n = text.size();
    uint64_t head = 0, middle = 0, tail = 0;
    if (n >= 8) {
      std::memcpy(&head, text.data(), 8);
      std::memcpy(&middle, text.data() + n / 2 - 4, 8);
      std::memcpy(&tail, text.data() + n - 8, 8);
    } else {
      for (size_t i = 0; i < n; ++i) head = (head << 8) | static_cast<uint8_t>(text[i]);
    }
    uint64_t h = (head * 0x9E3779B97F4A7C15ULL) ^ (middle * 0xC2B2AE3D27D4EB4FULL) ^
                 (tail * 0x165667B19E3779F9ULL) ^ n;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    return static_cast<uint32_t>(h >> 32);
  }

  // The first free slot among the probes of `hash`, or nullptr.
  Slot* free_slot(uint32_t hash) noexcept;

  std::vector<Slot> slots_;  // a power of two in size, grown as suffixes are remembered
  std::string bytes_;        // every remembered suffix, one after another
  size_t used_ = 0;
};

}  // namespace zel
