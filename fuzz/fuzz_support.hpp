// What the fuzz targets share: a broken invariant is a finding, a file in memory, a quiet stdout.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zel::fuzz {

// A finding: libFuzzer keeps the input that made `holds` false.
inline void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

// The diagnostic lines that conversions and channel reads write to descriptor 1 would drown
// libFuzzer's own output.
inline void silence_stdout() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || ::dup2(null, 1) < 0) std::abort();
  ::close(null);
}

// A regular file in memory, opened by path like any file on disk and rewritten for each input.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("zel-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const std::string& write(const uint8_t* data, size_t size) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    for (size_t done = 0; done < size;) {
      const ssize_t wrote = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (wrote <= 0) std::abort();
      done += static_cast<size_t>(wrote);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace zel::fuzz
