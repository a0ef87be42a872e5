// POSIX file access for the archive reader.
#include "archive/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace zel {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open_read_only(const std::string& path) {
  File file;
  do {
    file.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (file.fd_ < 0 && errno == EINTR);
  if (file.fd_ < 0) return io_errno(errno);
  struct stat info;
  if (::fstat(file.fd_, &info) != 0) return io_errno(errno);
  // A directory opens read-only on Linux; reading it fails with EISDIR, say so now.
  if (S_ISDIR(info.st_mode)) return io_errno(EISDIR);
  file.size_ = static_cast<uint64_t>(info.st_size);
  return file;
}

int File::read_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
  size_t done = 0;
  while (done < out.size()) {
    if (offset + done > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return kEndOfFile;
    const ssize_t got =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return kEndOfFile;
    done += static_cast<size_t>(got);
  }
  return 0;
}

int File::read_cached_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return kNotCached;
  iovec vector{out.data(), out.size()};
  ssize_t got;
  do {
    got = ::preadv2(fd_, &vector, 1, static_cast<off_t>(offset), RWF_NOWAIT);
  } while (got < 0 && errno == EINTR);
  // A short or failed read is repeated by read_at, which waits and reports what went wrong.
  return got == static_cast<ssize_t>(out.size()) ? 0 : kNotCached;
}

void File::advise_will_need(uint64_t offset, uint64_t length) const noexcept {
  (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_WILLNEED);
}

}  // namespace zel
