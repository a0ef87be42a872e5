// The one writer to file descriptor 1, for the module's diagnostic lines.
#pragma once

#include <string_view>

namespace zel {

// Writes `text` to descriptor 1 itself, bypassing any buffered stream, so that it is out when
// this returns. Short writes, EINTR and a non-blocking descriptor's EAGAIN are retried; any
// other failure (descriptor closed, broken pipe) is ignored: the line is diagnostic only.
void write_stdout(std::string_view text) noexcept;

}  // namespace zel
