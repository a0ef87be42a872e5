// SipHash-1-3 over header keys, with a per-process random key. The key comes from getrandom
// where the build found it (ZEL_HAVE_GETRANDOM, set by CMakeLists.txt), else from the C++
// library's random device.
#include "header/key_hash.hpp"

#if ZEL_HAVE_GETRANDOM
#include <sys/random.h>
#endif

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

namespace zel {

namespace {

struct SipKey {
  uint64_t k0, k1;
};

bool fill_from_entropy(SipKey& key) noexcept {
#if ZEL_HAVE_GETRANDOM
  return getrandom(&key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key);
#else
  // The random device throws where the system has no source of entropy.
  try {
    std::random_device device;
    key.k0 = (uint64_t{device()} << 32) ^ device();
    key.k1 = (uint64_t{device()} << 32) ^ device();
    return true;
  } catch (...) {
    return false;
  }
#endif
}

SipKey random_key() noexcept {
  SipKey key{};
  if (!fill_from_entropy(key)) {
    // Without entropy the hash still works; it is merely predictable.
    const auto now =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    key = {now ^ 0x736f6d6570736575ULL, std::rotl(now, 32) ^ 0x646f72616e646f6dULL};
  }
  return key;
}

const SipKey process_key = random_key();

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  void absorb(uint64_t word) noexcept {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

uint64_t load_le64(const unsigned char* bytes) noexcept {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

}  // namespace

size_t KeyHash::operator()(std::string_view key) const noexcept {
  SipState s{process_key.k0 ^ 0x736f6d6570736575ULL, process_key.k1 ^ 0x646f72616e646f6dULL,
             process_key.k0 ^ 0x6c7967656e657261ULL, process_key.k1 ^ 0x7465646279746573ULL};
  const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
  const size_t length = key.size();
  const size_t whole = length & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_le64(bytes + i));
  uint64_t last = static_cast<uint64_t>(length) << 56;
  for (size_t i = whole; i < length; ++i)
    last |= static_cast<uint64_t>(bytes[i]) << (8 * (i - whole));
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return static_cast<size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace zel
