// KeyHash: the keyed hash of header map keys. Its key is drawn at random once per process, so
// a header cannot be crafted to make every key collide.
#pragma once

#include <cstddef>
#include <string_view>

namespace zel {

struct KeyHash {
  using is_transparent = void;  // lets maps be searched with a string_view
  size_t operator()(std::string_view key) const noexcept;
};

}  // namespace zel
