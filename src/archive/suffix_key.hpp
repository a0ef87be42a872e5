// Keys of byte strings that can be computed for many suffixes of one name in a single pass.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zel {

// A string's length and two polynomial hashes of it, modulo the prime 2^61 - 1, at bases drawn
// at random for each hasher. Two different strings of length n share a key with probability
// below (n / 2^63)^2, and nobody who does not know the bases can make them collide on purpose.
struct SuffixKey {
  uint64_t first, second;
  uint32_t length;
  friend bool operator==(const SuffixKey&, const SuffixKey&) = default;
};

class SuffixHasher {
 public:
  SuffixHasher();  // draws the bases

  // The key of the whole of `text`.
  SuffixKey key(std::string_view text) const;
  // The keys of name[start:] for each of `starts` (ascending), into `keys`, in one pass over the
  // name from its end: the cost is the length of the longest suffix, however many there are.
  void suffix_keys(std::string_view name, std::span<const uint32_t> starts,
                   std::span<SuffixKey> keys) const;

 private:
  uint64_t first_base_, second_base_;
};

}  // namespace zel
