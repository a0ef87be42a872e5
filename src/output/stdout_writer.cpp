// Diagnostic lines go straight to descriptor 1 with write(2): no stdio buffer to flush, and the
// interpreter's own sys.stdout is not involved.
#include "output/stdout_writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zel {

void write_stdout(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (written == 0) return;  // no progress and no error: give up rather than spin
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A non-blocking descriptor: wait until it takes more rather than spin.
      pollfd descriptor{STDOUT_FILENO, POLLOUT, 0};
      if (::poll(&descriptor, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return;
  }
}

}  // namespace zel
