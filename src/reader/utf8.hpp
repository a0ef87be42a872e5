// UTF-8 validation that describes the first fault the way the header error reports it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel {

// nullopt for valid UTF-8; otherwise "invalid utf-8 sequence of {n} bytes from index {i}", n the
// length of the maximal subpart at i, or "incomplete utf-8 byte sequence from index {i}" when the
// text ends inside a sequence that is valid as far as it goes.
std::optional<std::string> utf8_fault(std::string_view text);

}  // namespace zel
