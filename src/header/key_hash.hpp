// The keyed hash of header map keys. Its key is drawn at random once per process, so a header
// cannot be crafted to make its keys collide.
#pragma once

#include <cstdint>
#include <string_view>

namespace zel {

// SipHash-1-3 of the 8-byte `salt` followed by `key`.
uint64_t key_hash(uint64_t salt, std::string_view key) noexcept;

}  // namespace zel
