// POSIX file access for the archive reader. The calls beyond plain POSIX (preadv2 with
// RWF_NOWAIT, posix_fadvise, O_CLOEXEC) are each used only where the build found them
// (ZEL_HAVE_* below, set by CMakeLists.txt); elsewhere every read is a plain pread.
#include "archive/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace zel {

namespace {

// Opens with the close-on-exec flag set, so that a child the program starts does not inherit
// the archive's descriptor. Without O_CLOEXEC the flag is set just after the open; a fork in
// between is possible, but nothing here starts threads.
int open_close_on_exec(const char* path, int flags) noexcept {
#if ZEL_HAVE_O_CLOEXEC
  return ::open(path, flags | O_CLOEXEC);
#else
  const int fd = ::open(path, flags);
  if (fd >= 0) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

}  // namespace

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

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
  // Without O_NONBLOCK, opening a named pipe waits for a writer, for ever and uninterruptibly.
  do {
    file.fd_ = open_close_on_exec(path.c_str(), O_RDONLY | O_NONBLOCK);
  } while (file.fd_ < 0 && errno == EINTR);
  struct stat info;
  if (file.fd_ < 0) {
    const int failure = errno;
    // A socket cannot be opened at all; say what it is rather than "No such device".
    if (failure == ENXIO && ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      return io_error("the location is not a regular file: it is a socket");
    }
    return io_errno(failure);
  }
  if (::fstat(file.fd_, &info) != 0) return io_errno(errno);
  // A directory opens read-only on Linux; reading it fails with EISDIR, say so now.
  if (S_ISDIR(info.st_mode)) return io_errno(EISDIR);
  // Pipes, devices and sockets have no length to locate an archive by, and may never end.
  if (!S_ISREG(info.st_mode)) {
    const char* kind = S_ISFIFO(info.st_mode)   ? "a named pipe"
                       : S_ISCHR(info.st_mode)  ? "a character device"
                       : S_ISBLK(info.st_mode)  ? "a block device"
                       : S_ISSOCK(info.st_mode) ? "a socket"
                                                : "something else";
    return io_error(std::string("the location is not a regular file: it is ") + kind);
  }
  const int flags = ::fcntl(file.fd_, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return io_errno(errno);
  file.size_ = static_cast<uint64_t>(info.st_size);
  return file;
}

Result<File> File::duplicate() const {
  File copy;
  copy.fd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy.fd_ < 0) return io_errno(errno);
  copy.size_ = size_;
  return copy;
}

Result<File::Identity> File::identity() const {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return io_errno(errno);
  constexpr int64_t kBillion = 1000000000;
#if defined(__APPLE__)
  const timespec& modified = info.st_mtimespec;  // macOS names the POSIX st_mtim so
  const timespec& changed = info.st_ctimespec;
#else
  const timespec& modified = info.st_mtim;
  const timespec& changed = info.st_ctim;
#endif
  return Identity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                  static_cast<uint64_t>(info.st_size),
                  int64_t{modified.tv_sec} * kBillion + modified.tv_nsec,
                  int64_t{changed.tv_sec} * kBillion + changed.tv_nsec};
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
#if ZEL_HAVE_PREADV2_NOWAIT
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return kNotCached;
  iovec vector{out.data(), out.size()};
  ssize_t got;
  do {
    got = ::preadv2(fd_, &vector, 1, static_cast<off_t>(offset), RWF_NOWAIT);
  } while (got < 0 && errno == EINTR);
  // A short or failed read is repeated by read_at, which waits and reports what went wrong.
  return got == static_cast<ssize_t>(out.size()) ? 0 : kNotCached;
#else
  // No way to ask for cached pages only: the kernel cannot tell, and the caller's read_at waits.
  (void)offset;
  (void)out;
  return kNotCached;
#endif
}

void File::advise_will_need(uint64_t offset, uint64_t length) const noexcept {
#if ZEL_HAVE_POSIX_FADVISE
  (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_WILLNEED);
#else
  (void)offset;
  (void)length;
#endif
}

}  // namespace zel
