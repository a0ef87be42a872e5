// Diagnostic lines go straight to descriptor 1 of the C runtime with _write: no stdio buffer to
// flush, and the interpreter's own sys.stdout is not involved. The descriptor is in binary mode,
// so that a line ends in "\n" as on every other system.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>

#include "output/stdout_writer.hpp"

namespace zel {

void write_stdout(std::string_view text) noexcept {
  constexpr int kStdout = 1;
  static const bool binary = _setmode(kStdout, _O_BINARY) != -1;
  (void)binary;
  while (!text.empty()) {
    const unsigned wanted = text.size() < size_t{INT_MAX} ? static_cast<unsigned>(text.size())
                                                          : static_cast<unsigned>(INT_MAX);
    const int written = _write(kStdout, text.data(), wanted);
    if (written > 0) {
      text.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    return;  // descriptor closed, pipe gone, or no progress: the line is diagnostic only
  }
}

}  // namespace zel
