// SHA-256 of a run of bytes, as hex: the digests the core's test program prints.
#pragma once

#include <span>
#include <string>

namespace zel {

std::string sha256_hex(std::span<const unsigned char> bytes);

}  // namespace zel
