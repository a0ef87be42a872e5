// Doubles as text for the diagnostic lines: shortest round-trip digits, positional notation.
#pragma once

#include <string>

namespace zel {

// Appends the shortest decimal digits that read back as `value`, written out positionally
// (never an exponent): 2000, 0.0000001, -0, and 1e21 as 1 followed by 21 zeros. Any NaN is
// "NaN", the infinities "inf" and "-inf".
void append_double(std::string& out, double value);
std::string format_double(double value);

}  // namespace zel
