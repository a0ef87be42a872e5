// Polynomial hashes over 4-byte chunks counted from the end of the string, so that the hash of
// every suffix falls out of one pass from the end of a name.
#include "archive/suffix_key.hpp"

#include <chrono>
#include <cstring>
#include <exception>
#include <random>

namespace zel {

namespace {

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;

// a * b mod 2^61 - 1, for a and b below the prime.
inline uint64_t multiply(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  const uint64_t sum =
      (static_cast<uint64_t>(product) & kPrime) + static_cast<uint64_t>(product >> 61);
  return sum >= kPrime ? sum - kPrime : sum;
}

inline uint64_t add(uint64_t a, uint64_t b) {
  const uint64_t sum = a + b;
  return sum >= kPrime ? sum - kPrime : sum;
}

// The `length` (at most 4) bytes at `bytes` as a little-endian number.
inline uint64_t chunk(const char* bytes, size_t length) {
  uint32_t value = 0;
  std::memcpy(&value, bytes, length);  // little-endian hosts; the key only has to be consistent
  return value;
}

uint64_t random_base(std::random_device& random) {
  for (;;) {
    const uint64_t base = ((uint64_t{random()} << 32) | random()) & kPrime;
    if (base >= (uint64_t{1} << 32) && base < kPrime) return base;  // far from 0 and 1
  }
}

}  // namespace

SuffixHasher::SuffixHasher() noexcept {
  try {
    std::random_device random;
    first_base_ = random_base(random);
    second_base_ = random_base(random);
  } catch (const std::exception&) {
    // Without a random source (or the memory to open one) the keys still work; they are merely
    // predictable.
    const auto now =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    first_base_ = (now % (kPrime - (uint64_t{1} << 33))) + (uint64_t{1} << 32);
    second_base_ =
        ((now * 0x9E3779B97F4A7C15ULL) % (kPrime - (uint64_t{1} << 33))) + (uint64_t{1} << 32);
  }
}

SuffixKey SuffixHasher::key(std::string_view text) const {
  const uint32_t start = 0;
  SuffixKey result;
  suffix_keys(text, std::span<const uint32_t>(&start, 1), std::span<SuffixKey>(&result, 1));
  return result;
}

void SuffixHasher::suffix_keys(std::string_view name, std::span<const uint32_t> starts,
                               std::span<SuffixKey> keys) const {
  if (starts.size() == 1) {
    // The usual case, by Horner's rule from the head: half the multiplications.
    const size_t length = name.size() - starts[0];
    const char* at = name.data() + starts[0];
    uint64_t first = chunk(at, length % 4), second = first;
    for (const char *end = name.data() + name.size(), *c = at + length % 4; c < end; c += 4) {
      const uint64_t value = chunk(c, 4);
      first = add(multiply(first, first_base_), value);
      second = add(multiply(second, second_base_), value);
    }
    keys[0] = {first, second, static_cast<uint32_t>(length)};
    return;
  }
  // Chunk k is name[n - 4k - 4, n - 4k); a suffix of length L is chunks 0 to L/4 - 1 and, at
  // power L/4, the L % 4 bytes before them.
  const size_t n = name.size();
  uint64_t first = 0, second = 0, first_power = 1, second_power = 1;
  size_t chunks = 0;
  for (size_t i = starts.size(); i-- > 0;) {
    const size_t length = n - starts[i];
    while (chunks < length / 4) {
      const uint64_t value = chunk(name.data() + n - 4 * chunks - 4, 4);
      first = add(first, multiply(value, first_power));
      second = add(second, multiply(value, second_power));
      first_power = multiply(first_power, first_base_);
      second_power = multiply(second_power, second_base_);
      ++chunks;
    }
    const uint64_t head = chunk(name.data() + starts[i], length % 4);
    keys[i] = {add(first, multiply(head, first_power)), add(second, multiply(head, second_power)),
               static_cast<uint32_t>(length)};
  }
}

}  // namespace zel
